// SPDX-License-Identifier: Apache-2.0
#include "codec/layout_rules.hpp"

#include <algorithm>
#include <map>

#include "codec/flag_placement.hpp"
#include "codec/limits.hpp"
#include "codec/names.hpp"
#include "codec/printable.hpp"

namespace zim_codec {
namespace {

std::string num(uint64_t v) { return std::to_string(v); }

// Whether a field at `offset` may follow a field ending at `end`: directly, or
// after the padding to its own alignment of 2, 4 or 8 bytes, which is the only
// padding a layout has between fields.
bool padding_is_alignment(uint64_t end, uint64_t offset) {
  if (offset == end) return true;
  for (uint64_t alignment : {2, 4, 8}) {
    if (offset == round_up(end, alignment)) return true;
  }
  return false;
}

// Every check is made on values the reader has bounded, in 64 bits, so no
// sum or product below can wrap whatever the layout holds.
class LayoutChecker {
 public:
  LayoutChecker(const TypeFacts& facts, const std::vector<FieldItem>& fields, const Report& fail)
      : facts_(facts), fields_(fields), fail_(fail) {}

  void run() {
    const uint64_t header_end = check_header();
    check_fields(header_end);
    check_flag_area();
    check_dynamic_area();
    check_class();
  }

 private:
  // Returns the first byte after the type header.
  uint64_t check_header() {
    const int line = facts_.lines.header;
    if (facts_.header.size() < kMinHeaderFields || facts_.header.size() > kMaxHeaderFields) {
      fail_(line, "a type header has 2 to 5 fields, found " + num(facts_.header.size()));
    }
    auto sorted = facts_.header;
    std::sort(sorted.begin(), sorted.end(),
              [](const HeaderField& a, const HeaderField& b) { return a.offset < b.offset; });
    uint64_t end = kBaseHeaderSize;
    for (const auto& f : sorted) {
      const std::string text = "header field " + item_text(f);
      if (f.width != 1 && f.width != 2 && f.width != 4 && f.width != 8) {
        fail_(line, text + " must be 1, 2, 4 or 8 bytes wide");
      } else if (f.offset % f.width != 0) {
        fail_(line, text + " must lie at a multiple of its width");
      }
      if (f.offset < end) {
        fail_(line, text + (end == kBaseHeaderSize ? " lies inside the 192-byte base header"
                                                   : " overlaps the header field before it"));
      }
      end = std::max(end, uint64_t{f.offset} + f.width);
    }
    if (facts_.count_field) {
      const bool in_header = std::any_of(
          facts_.header.begin(), facts_.header.end(),
          [&](const HeaderField& f) { return f.offset == *facts_.count_field && f.width == 4; });
      if (!in_header) {
        fail_(facts_.lines.count_field, "count field " + num(*facts_.count_field) +
                                            " must be a 4-byte field of the type header");
      }
    }
    return end;
  }

  void check_fields(uint64_t header_end) {
    uint64_t previous_end = header_end;
    std::string previous = "the type header";
    for (const auto& item : fields_) {
      const std::string text = "field " + item_text(item);
      if (item.width == 0 || item.run_length == 0) fail_(item.line, text + " has no bytes");
      if (item.is_array() && item.offset % 8 != 0) {
        fail_(item.line, "array " + text + ": its data pointer must be 8-aligned");
      }
      if (item.end() > kMaxFixedSize) {
        fail_(item.line, text + " ends at " + num(item.end()) +
                             ", beyond the largest fixed part of " + num(kMaxFixedSize) + " bytes");
      }
      if (item.offset < previous_end) {
        fail_(item.line, text + " overlaps " + previous + ", which ends at " + num(previous_end));
      } else if (item.offset - previous_end > 7) {
        fail_(item.line, text + " leaves a gap of " + num(item.offset - previous_end) +
                             " bytes after " + previous + "; alignment needs at most 7");
      } else if (!padding_is_alignment(previous_end, item.offset)) {
        fail_(item.line, text + " leaves a gap of " + num(item.offset - previous_end) +
                             " bytes after " + previous +
                             " that no alignment of 2, 4 or 8 bytes explains");
      }
      previous_end = std::max(previous_end, item.end());
      previous = text;
    }
  }

  void check_flag_area() {
    if (fields_.empty()) return;
    const FlagPlacement flags = place_flags(fields_);
    if (facts_.flags_at != flags.flags_start) {
      fail_(facts_.lines.flags_at, "presence-flag area must start at " + num(flags.flags_start) +
                                       ", the first byte after the last data field, not " +
                                       num(facts_.flags_at));
      return;
    }
    if (facts_.fixed_size != flags.fixed_size) {
      fail_(facts_.lines.fixed_size, "fixed size must be " + num(flags.fixed_size) +
                                         ", the smallest multiple of 8 above npd_present at " +
                                         num(flags.npd_present) + ", not " +
                                         num(facts_.fixed_size));
    }
    if (flags.fixed_size > kMaxFixedSize) {
      fail_(facts_.lines.fixed_size, "the presence flags end beyond the largest fixed part of " +
                                         num(kMaxFixedSize) + " bytes");
    }
  }

  // Positions in the dynamic area are fixed size + NPD size + count x (sum
  // over counted arrays) + N x (sum over per-NPU arrays), with a 32-bit count,
  // N and NPD size. With the sums bounded so, they never wrap 64 bits, and a
  // layout past 32 bits always fails its size check instead of passing with
  // pointers outside the object.
  void check_dynamic_area() {
    uint64_t one_of_each = facts_.fixed_size;
    for (const auto& item : fields_) {
      if (!item.is_array()) continue;
      one_of_each += uint64_t{item.width} + 1;
      if (one_of_each > kMaxOneOfEach) {
        fail_(item.line, "array " + item_text(item) +
                             ": the fixed part and one element of every array up to here, "
                             "with its flag, make " +
                             num(one_of_each) + " bytes, more than a 32-bit object holds");
        return;
      }
    }
  }

  void check_class() {
    int per_npu = 0, counted = 0;
    for (const auto& item : fields_) {
      per_npu += item.kind == ItemKind::kPerNpuArray;
      counted += item.kind == ItemKind::kCountedArray;
    }
    const bool has_count = facts_.count_field.has_value();
    const int line = facts_.lines.type_class;
    const std::string cls = std::string("class ") + class_keyword(facts_.type_class);
    auto expect = [&](bool ok, const std::string& why) {
      if (!ok) fail_(line, cls + " " + why);
    };
    switch (facts_.type_class) {
      case TypeClass::kFixed:
        expect(per_npu + counted == 0, "takes no array fields");
        expect(!has_count, "takes no count (remove 'count_field')");
        expect(!facts_.size_check, "needs 'size_check off'");
        break;
      case TypeClass::kSizeChecked:
        expect(per_npu + counted == 0, "takes no array fields");
        expect(!has_count, "takes no count (remove 'count_field')");
        expect(facts_.size_check, "needs 'size_check on'");
        break;
      case TypeClass::kPerNpu:
        expect(per_npu > 0, "needs at least one per-NPU array field (off:exN)");
        expect(counted == 0, "takes no counted array fields (use class counted)");
        expect(!has_count, "takes no count (remove 'count_field')");
        expect(facts_.size_check, "needs 'size_check on'");
        break;
      case TypeClass::kCounted:
        expect(counted > 0, "needs at least one counted array field (off:exC)");
        expect(has_count, "needs 'count_field'");
        expect(facts_.size_check, "needs 'size_check on'");
        break;
      case TypeClass::kCountOnly:
        expect(per_npu + counted == 0, "takes no array fields");
        expect(has_count, "needs 'count_field'");
        expect(!facts_.size_check, "needs 'size_check off'");
        break;
    }
  }

  const TypeFacts& facts_;
  const std::vector<FieldItem>& fields_;
  const Report& fail_;
};

}  // namespace

bool check_type_name(const TypeFacts& facts, const Report& fail) {
  if (valid_type_name(facts.name)) return true;
  fail(facts.lines.table, "type name " + quote(facts.name) +
                              " must be 3 to 22 characters of a-z, 0-9 and _, "
                              "beginning with a letter");
  return false;
}

bool check_field_names(const std::vector<FieldItem>& fields, const Report& fail) {
  std::map<std::string, int> seen;
  bool names_ok = true;
  for (const auto& item : fields) {
    if (item.name.empty()) continue;
    if (!valid_field_name(item.name)) {
      names_ok = false;
      fail(item.line, "field name " + quote(item.name) + " must be 1 to " + num(kMaxFieldName) +
                          " characters of a-z, 0-9 and _, beginning with a letter");
    } else if (auto [it, fresh] = seen.emplace(item.name, item.line); !fresh) {
      names_ok = false;
      fail(item.line,
           "field name " + quote(item.name) + " is already used at line " + num(it->second));
    }
  }
  return names_ok;
}

void check_layout_rules(const TypeFacts& facts, const std::vector<FieldItem>& fields,
                        const Report& fail) {
  LayoutChecker(facts, fields, fail).run();
}

}  // namespace zim_codec
