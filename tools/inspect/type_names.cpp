// SPDX-License-Identifier: Apache-2.0
#include "type_names.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace zim_inspect {

namespace {

constexpr size_t kMaxEdits = 2;
constexpr size_t kMaxSuggestions = 3;

// Edits between a and b, or kMaxEdits + 1 for anything farther. Lengths
// further apart than kMaxEdits are never compared, so a long typed key costs
// no more than a pass over it per name.
size_t edits(const std::string& a, const std::string& b) {
  const size_t far = kMaxEdits + 1;
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > kMaxEdits) return far;
  // Three rows of the optimal-string-alignment table.
  std::vector<size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) last[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, last);
    std::swap(last, row);
  }
  return std::min(last[b.size()], far);
}

}  // namespace

const TypeLayout* lookup_type(const std::vector<TypeLayout>& types, const std::string& key) {
  for (const auto& t : types) {
    if (t.name == key || std::to_string(t.table_id) == key) return &t;
  }
  return nullptr;
}

const TypeLayout* type_with_id(const std::vector<TypeLayout>& types, uint32_t table_id) {
  const auto at =
      std::lower_bound(types.begin(), types.end(), table_id,
                       [](const TypeLayout& t, uint32_t id) { return t.table_id < id; });
  return at != types.end() && at->table_id == table_id ? &*at : nullptr;
}

std::vector<std::string> nearest_names(const std::vector<std::string>& names,
                                       const std::string& key) {
  std::vector<std::pair<size_t, size_t>> near;  // edits, index
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t n = edits(key, names[i]);
    if (n <= kMaxEdits && names[i] != key) near.emplace_back(n, i);
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> out;
  for (size_t k = 0; k < near.size() && k < kMaxSuggestions; ++k) {
    out.push_back(names[near[k].second]);
  }
  return out;
}

std::string did_you_mean(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "did you mean " : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return text.empty() ? text : text + "?";
}

bool takes_count(const TypeLayout& type) { return type.count_field.has_value(); }

bool has_per_npu_arrays(const TypeLayout& type) {
  return std::any_of(type.fields.begin(), type.fields.end(), [](const zim_codec::FieldLayout& f) {
    return f.kind == zim_codec::ItemKind::kPerNpuArray;
  });
}

Json types_doc(const std::vector<TypeLayout>& types) {
  Json list = Json::array();
  for (const auto& t : types) {
    list.push_back({{"table_id", t.table_id},
                    {"type", t.name},
                    {"class", zim_codec::class_keyword(t.type_class)},
                    {"fixed_size", t.fixed_size},
                    {"takes_count", takes_count(t)},
                    {"per_npu_arrays", has_per_npu_arrays(t)}});
  }
  return Json{{"types", std::move(list)}};
}

}  // namespace zim_inspect
