// SPDX-License-Identifier: Apache-2.0
// The words of a layout record's lines: the key each line starts with, and
// their strict reading. A record is generated text, so a number is plain
// decimal within its bound and fixed words stand where the writer puts them.
// Every failure is reported through the reader's own report, at the line.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/decimal.hpp"
#include "codec/printable.hpp"
#include "codec/report.hpp"
#include "codec/words.hpp"

namespace zim_codec {

// The lines of a record in their order; field and array lines repeat.
enum class RecordKey {
  kType,
  kFingerprint,  // optional: older manifests have none
  kClass,
  kFixedSize,
  kCountField,
  kSizeCheck,
  kObjFlagsBit5,
  kHeader,
  kField,
  kNpdPresent,
  kDynamic,
  kCheckFixPtrs,
  kCheckSizePtr,
  kCheckAlloc,
  kWisp,
  kDone
};

// The key of each line, as the writer spells it and an error message names it.
inline constexpr const char* kKeyText[] = {
    "type",           "fingerprint", "class", "fixed_size",  "count_param", "size_check",
    "obj_flags_bit5", "header",      "field", "npd_present", "dynamic",     "check fix_ptrs",
    "check size_ptr", "check alloc", "wisp",  "type"};
static_assert(sizeof kKeyText / sizeof kKeyText[0] == static_cast<size_t>(RecordKey::kDone) + 1);

inline const char* key_text(RecordKey key) { return kKeyText[static_cast<int>(key)]; }

// The key of a line's words, or nothing for an unknown one.
inline std::optional<RecordKey> key_of(const std::vector<std::string>& words) {
  const std::string& w = words[0];
  if (w == "check") {
    if (words.size() < 2) return std::nullopt;
    if (words[1] == "fix_ptrs") return RecordKey::kCheckFixPtrs;
    if (words[1] == "size_ptr") return RecordKey::kCheckSizePtr;
    if (words[1] == "alloc") return RecordKey::kCheckAlloc;
    return std::nullopt;
  }
  if (w == "field" || w == "array") return RecordKey::kField;
  for (int k = 0; k <= static_cast<int>(RecordKey::kWisp); ++k) {
    if (w == kKeyText[k]) return static_cast<RecordKey>(k);
  }
  return std::nullopt;
}

class RecordWords {
 public:
  explicit RecordWords(Report fail) : fail_(std::move(fail)) {}

  // A manifest is ASCII text; any other byte outside a comment is damage.
  bool plain_text(int line, std::string_view text) const {
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (is_visible_ascii(byte) || is_space(c)) continue;
      fail_(line, "unexpected byte " + printable(std::string_view(&c, 1)) +
                      ": a manifest is plain ASCII text");
      return false;
    }
    return true;
  }

  // A plain decimal number from 0 to max, as the generator writes it.
  bool number(int line, std::string_view word, uint64_t max, const std::string& what,
              uint32_t& out) const {
    const Decimal read = read_decimal(word, max);
    if (read.fault == DecimalFault::kNotDigits || read.fault == DecimalFault::kLeadingZero) {
      fail_(line, what + " " + quote(word) + " is not a plain decimal number");
      return false;
    }
    if (read.fault == DecimalFault::kTooLarge) {
      fail_(line, what + " " + quote(word) + " is larger than " + std::to_string(max));
      return false;
    }
    out = static_cast<uint32_t>(read.value);
    return true;
  }

  // "word value word value ...": the fixed words must match; a value (a slot
  // without a word) is read with its bound.
  struct Slot {
    const char* word;
    uint64_t max;
    const char* what;
  };
  static constexpr Slot fixed(const char* word) { return {word, 0, ""}; }
  static constexpr Slot value(uint64_t max, const char* what) { return {nullptr, max, what}; }
  bool pattern(int line, const std::vector<std::string>& words, std::initializer_list<Slot> shape,
               std::vector<uint32_t>& values) const {
    if (words.size() != shape.size() + 1) {
      fail_(line, "malformed '" + words[0] + "' line: expected " + std::to_string(shape.size()) +
                      (shape.size() == 1 ? " word" : " words") + " after '" + words[0] +
                      "', found " + std::to_string(words.size() - 1));
      return false;
    }
    size_t i = 1;
    for (const Slot& slot : shape) {
      const std::string& word = words[i++];
      if (slot.word != nullptr) {
        if (word == slot.word) continue;
        fail_(line, "expected '" + std::string(slot.word) + "', found " + quote(word));
        return false;
      }
      values.emplace_back();
      if (!number(line, word, slot.max, slot.what, values.back())) return false;
    }
    return true;
  }

 private:
  Report fail_;
};

}  // namespace zim_codec
