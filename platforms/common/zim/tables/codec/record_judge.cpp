// SPDX-License-Identifier: Apache-2.0
// The runtime's judgement of the layout records it reads: what a record
// states must follow from its fields and keep the layout rules.
#include <algorithm>
#include <set>
#include <utility>

#include "codec/fingerprint.hpp"
#include "codec/flag_placement.hpp"
#include "codec/layout_record.hpp"
#include "codec/layout_rules.hpp"
#include "codec/printable.hpp"

namespace zim_codec {
namespace {

std::string num(uint64_t v) { return std::to_string(v); }

std::vector<FieldItem> field_items(const std::vector<FieldLayout>& fields) {
  return std::vector<FieldItem>(fields.begin(), fields.end());
}

}  // namespace

void check_stated_placement(const StatedRecord& record, const Report& fail) {
  const TypeLayout& t = record.layout;
  const FlagPlacement flags = place_flags(field_items(t.fields));
  std::vector<uint32_t> dynamic;
  for (size_t i = 0; i < t.fields.size(); ++i) {
    const FieldLayout& f = t.fields[i];
    if (f.is_array()) dynamic.push_back(f.offset);
    if (f.flag_at == flags.item_flag_at[i]) continue;
    fail(f.line, std::string(f.is_array() ? "the flag pointer of this array"
                                          : "the presence flags of this field") +
                     " must be at " + num(flags.item_flag_at[i]) + ", not " + num(f.flag_at));
  }
  if (t.npd_present != flags.npd_present) {
    fail(t.lines.npd_present, "npd_present must be at " + num(flags.npd_present) +
                                  ", the first byte after the presence flags, not " +
                                  num(t.npd_present));
  }
  if (t.dynamic != dynamic) {
    std::string expected;
    for (uint32_t a : dynamic) expected += " " + num(a);
    fail(record.dynamic_line, "'dynamic' must list the data pointers in field order:" +
                                  (expected.empty() ? std::string(" none") : expected));
  }
}

bool judge_record(StatedRecord& record, const Report& fail) {
  bool holds = true;
  const Report judged = [&](int line, const std::string& message) {
    holds = false;
    fail(line, message);
  };
  TypeLayout& t = record.layout;
  const std::vector<FieldItem> items = field_items(t.fields);
  complete_flag_area(t, items);
  if (!check_type_name(t, judged)) return false;
  check_layout_rules(t, items, judged);
  check_field_names(items, judged);
  if (!holds) return false;
  check_stated_placement(record, judged);
  const uint64_t fingerprint = layout_fingerprint(t);
  if (record.fingerprint && *record.fingerprint != fingerprint) {
    judged(record.fingerprint_line, "fingerprint " + fingerprint_hex(*record.fingerprint) +
                                        " is not the layout's, " + fingerprint_hex(fingerprint));
  }
  return holds;
}

std::optional<std::vector<TypeLayout>> read_layouts(const std::string& path, std::string_view text,
                                                    const Report& fail) {
  bool failed = false;
  const Report report = [&](int line, const std::string& message) {
    failed = true;
    fail(line, message);
  };
  std::vector<TypeLayout> layouts;
  std::set<std::string> names;
  const size_t taken = read_record_lines(path, text, report, [&](StatedRecord&& record) {
    if (!judge_record(record, report)) return false;
    TypeLayout& t = record.layout;
    if (!layouts.empty() && layouts.back().table_id == t.table_id) {
      report(t.lines.id, "duplicate table id " + num(t.table_id));
      return false;
    }
    if (!names.insert(t.name).second) {
      report(t.lines.table, "duplicate type name " + quote(t.name));
      return false;
    }
    layouts.push_back(std::move(t));
    return true;
  });
  if (taken == 0 && !failed) report(1, "no 'type' records: not a layout manifest");
  if (failed) return std::nullopt;
  return layouts;
}

std::optional<TypeLayout> read_layout_record(std::string_view text, std::string* why,
                                             const std::string& name) {
  std::string first;
  const Report fail = [&](int line, const std::string& message) {
    if (first.empty()) first = message_line(name, line, "error", message);
  };
  std::optional<std::vector<TypeLayout>> layouts = read_layouts(name, text, fail);
  if (layouts && layouts->size() == 1) return std::move(layouts->front());
  if (why) *why = first;
  return std::nullopt;
}

}  // namespace zim_codec
