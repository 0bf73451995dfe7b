// SPDX-License-Identifier: Apache-2.0
#include "codec/migration_plan.hpp"

#include <algorithm>
#include <iterator>

#include "codec/fingerprint.hpp"

namespace zim_codec {
namespace {

constexpr const char* kUncarriedText[] = {
    "a narrowed field or element cannot carry every value",
    "a shortened run cannot carry every field",
    "per-NPU and counted arrays hold different numbers of elements",
    "an inline field cannot become an array, nor an array an inline field",
    "the type header is carried as it is, so its fields cannot change",
    "objects cannot change their class",
    "objects cannot take their element count from another field",
    "objects cannot change their table id",
    "objects of one type cannot become objects of another",
    "a removed type's objects cannot be converted, only retired",
    ("name its fields first: unnamed fields pair by their number, which carries only fields "
     "added at the end"),
};
static_assert(std::size(kUncarriedText) == static_cast<size_t>(Uncarried::kUnnamedChanged) + 1);

std::string num(uint64_t v) { return std::to_string(v); }

// "N 'name' OFF:W", or "N OFF:W" for an unnamed field.
std::string numbered(const TypeLayout& layout, const FieldLayout& f) {
  const auto number = static_cast<uint64_t>(&f - layout.fields.data());
  return num(number) + (f.name.empty() ? "" : " '" + f.name + "'") + " " + item_text(f);
}

std::string header_text(const std::vector<HeaderField>& header) {
  std::string out;
  for (const HeaderField& h : header) out += (out.empty() ? "" : " ") + item_text(h);
  return out;
}

std::string count_text(const std::optional<uint32_t>& count_field) {
  return count_field ? "a count at " + num(*count_field) : std::string("no count");
}

bool same_header(const std::vector<HeaderField>& a, const std::vector<HeaderField>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.offset == y.offset && x.width == y.width;
  });
}

}  // namespace

const char* uncarried_text(Uncarried change) { return kUncarriedText[static_cast<size_t>(change)]; }

std::optional<Uncarried> uncarried_change(const FieldPair& pair) {
  const FieldLayout* was = pair.older;
  const FieldLayout* is = pair.newer;
  if (!was) return std::nullopt;  // added: absent in every converted object
  // Dropping a field chosen by its number alone would be a guess.
  if (!is) return was->name.empty() ? std::optional(Uncarried::kUnnamedChanged) : std::nullopt;
  if (pair.regrouped()) return std::nullopt;  // the same bytes
  if (pair.by_number) {
    // Only the flags may move, as they do when fields are added at the end.
    const bool bytes_kept = was->kind == is->kind && was->offset == is->offset &&
                            was->width == is->width && was->run_length == is->run_length;
    return bytes_kept ? std::nullopt : std::optional(Uncarried::kUnnamedChanged);
  }
  if (was->is_array() != is->is_array()) return Uncarried::kInlineArray;
  if (was->kind != is->kind) return Uncarried::kArrayKind;
  if (is->width < was->width) return Uncarried::kNarrowed;
  if (is->run_length < was->run_length) return Uncarried::kRunShortened;
  return std::nullopt;
}

MigrationPlan plan_migration(const TypeLayout& older, const TypeLayout& newer) {
  MigrationPlan plan;
  plan.changed = layout_fingerprint(older) != layout_fingerprint(newer);
  const std::string type = older.name + " (table id " + num(older.table_id) + "): ";
  const auto refuse = [&](const std::string& what, Uncarried rule) {
    plan.refusals.push_back(type + what + ": " + uncarried_text(rule));
  };
  if (older.name != newer.name) {
    refuse("table id " + num(older.table_id) + " now names type '" + newer.name + "'",
           Uncarried::kIdToAnotherType);
    return plan;
  }
  if (older.table_id != newer.table_id) {
    refuse("table id " + num(older.table_id) + " is now " + num(newer.table_id),
           Uncarried::kTableIdChanged);
  }
  if (older.type_class != newer.type_class) {
    refuse(std::string("class ") + class_keyword(older.type_class) + " is now " +
               class_keyword(newer.type_class),
           Uncarried::kClassChanged);
  }
  if (older.count_field != newer.count_field) {
    refuse(count_text(older.count_field) + " is now " + count_text(newer.count_field),
           Uncarried::kCountChanged);
  }
  if (!same_header(older.header, newer.header)) {
    refuse("type header " + header_text(older.header) + " is now " + header_text(newer.header),
           Uncarried::kHeaderShape);
  }
  plan.fields = pair_fields(older, newer);
  for (const FieldPair& pair : plan.fields) {
    if (pair.older && !pair.newer) plan.dropped.push_back("field " + numbered(older, *pair.older));
    const std::optional<Uncarried> rule = uncarried_change(pair);
    if (!rule) continue;
    const FieldLayout& was = *pair.older;
    if (!pair.newer) {
      refuse("field " + numbered(older, was) + " removed", *rule);
      continue;
    }
    const FieldLayout& is = *pair.newer;
    refuse("field " + numbered(older, was) + " is now " +
               (is.name == was.name ? "" : (is.name.empty() ? "unnamed " : "'" + is.name + "' ")) +
               item_text(is),
           *rule);
  }
  return plan;
}

}  // namespace zim_codec
