// SPDX-License-Identifier: Apache-2.0
// The strict reading of the words of one manifest line: the manifest is
// generated text, so a number is plain decimal within its bound and fixed
// words stand where the generator writes them. Every failure is reported
// through the reader's own report, at the line.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/decimal.hpp"
#include "codec/printable.hpp"
#include "codec/words.hpp"

namespace zim_codec {

class ManifestWords {
 public:
  using Report = std::function<void(int line, const std::string& message)>;
  explicit ManifestWords(Report fail) : fail_(std::move(fail)) {}

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
