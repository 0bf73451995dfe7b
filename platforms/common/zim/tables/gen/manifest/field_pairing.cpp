// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/field_pairing.hpp"

namespace tablegen {

bool same_layout(const FieldLayout& a, const FieldLayout& b) {
  return a.kind == b.kind && a.offset == b.offset && a.width == b.width &&
         a.run_length == b.run_length && a.flag_at == b.flag_at;
}

namespace {

// The field's i-th single field: a run's i-th field, or the array itself.
FieldLayout unit(const FieldLayout& f, uint32_t i) {
  FieldLayout u = f;
  if (f.is_array()) return u;
  u.offset = f.offset + i * f.width;
  u.flag_at = f.flag_at + i;
  u.run_length = 1;
  return u;
}

// A cursor over the single fields of a list of fields.
struct Units {
  const std::vector<FieldLayout>& fields;
  size_t field = 0;
  uint32_t index = 0;  // within fields[field]
  bool done() const { return field == fields.size(); }
  FieldLayout next() {
    const FieldLayout u = unit(fields[field], index);
    if (fields[field].is_array() || ++index == fields[field].run_length) ++field, index = 0;
    return u;
  }
};

// The number of fields from each start that cover the same single fields and
// end together, or nothing when they differ before they do.
std::optional<std::pair<size_t, size_t>> same_bytes(const TypeLayout& older, size_t i,
                                                    const TypeLayout& newer, size_t j) {
  Units a{older.fields, i}, b{newer.fields, j};
  while (!a.done() && !b.done()) {
    if (!same_layout(a.next(), b.next())) return std::nullopt;
    if (a.index == 0 && b.index == 0) return std::make_pair(a.field - i, b.field - j);
  }
  return std::nullopt;
}

}  // namespace

std::vector<FieldPair> pair_fields(const TypeLayout& older, const TypeLayout& newer) {
  std::vector<FieldPair> pairs;
  size_t i = 0, j = 0;
  for (; i < older.fields.size() && j < newer.fields.size(); ++i, ++j) {
    FieldPair p{&older.fields[i], &newer.fields[j]};
    if (!same_layout(*p.older, *p.newer)) {
      if (const auto group = same_bytes(older, i, newer, j)) {
        std::tie(p.older_count, p.newer_count) = *group;
        i += p.older_count - 1;
        j += p.newer_count - 1;
      }
    }
    pairs.push_back(p);
  }
  for (; i < older.fields.size(); ++i) pairs.push_back({&older.fields[i]});
  for (; j < newer.fields.size(); ++j) pairs.push_back({nullptr, &newer.fields[j]});
  return pairs;
}

}  // namespace tablegen
