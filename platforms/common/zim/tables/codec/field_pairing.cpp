// SPDX-License-Identifier: Apache-2.0
#include "codec/field_pairing.hpp"

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

namespace zim_codec {

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

// Whether the two lists of fields lay out exactly the same bytes and flags.
bool same_fields(const TypeLayout& older, const TypeLayout& newer) {
  Units a{older.fields}, b{newer.fields};
  while (!a.done() && !b.done()) {
    if (!same_layout(a.next(), b.next())) return false;
  }
  return a.done() && b.done();
}

class Pairing {
 public:
  Pairing(const TypeLayout& older, const TypeLayout& newer)
      : older_(older),
        newer_(newer),
        of_older_(older.fields.size(), kNone),
        of_newer_(newer.fields.size(), kNone) {}

  std::vector<FieldPair> run() {
    if (same_fields(older_, newer_)) {
      by_number(true);
    } else {
      by_name();
      by_number(false);
    }
    std::vector<FieldPair> out;
    for (size_t j = 0; j < newer_.fields.size(); ++j) {
      if (of_newer_[j] == kNone) {
        out.push_back({nullptr, &newer_.fields[j]});
      } else if (of_newer_[j] != kInGroup) {
        out.push_back(pairs_[of_newer_[j]]);
      }
    }
    for (size_t i = 0; i < older_.fields.size(); ++i) {
      if (of_older_[i] == kNone) out.push_back({&older_.fields[i]});
    }
    return out;
  }

 private:
  static constexpr size_t kNone = SIZE_MAX, kInGroup = SIZE_MAX - 1;

  void pair(size_t i, size_t j, size_t older_count, size_t newer_count, bool number) {
    pairs_.push_back({&older_.fields[i], &newer_.fields[j], older_count, newer_count, number});
    for (size_t k = 0; k < older_count; ++k) of_older_[i + k] = kInGroup;
    for (size_t k = 0; k < newer_count; ++k) of_newer_[j + k] = kInGroup;
    of_newer_[j] = pairs_.size() - 1;
  }

  // A newer field's `was` first, then its own name unless a `was` took it.
  void by_name() {
    std::map<std::string, size_t> older_by_name;
    for (size_t i = 0; i < older_.fields.size(); ++i) {
      if (!older_.fields[i].name.empty()) older_by_name.emplace(older_.fields[i].name, i);
    }
    for (const bool was : {true, false}) {
      for (size_t j = 0; j < newer_.fields.size(); ++j) {
        const std::string& name = was ? newer_.fields[j].was : newer_.fields[j].name;
        const auto it = name.empty() ? older_by_name.end() : older_by_name.find(name);
        if (it == older_by_name.end() || of_older_[it->second] != kNone || of_newer_[j] != kNone) {
          continue;
        }
        pair(it->second, j, 1, 1, false);
      }
    }
  }

  // Fields of the same number, both unpaired and one unnamed (any two when
  // the layouts are the same bytes); a group of fields over the same bytes
  // as another is one pair, and the numbers after it follow the groups.
  void by_number(bool any_names) {
    for (size_t i = 0, j = 0; i < older_.fields.size() && j < newer_.fields.size();) {
      const bool free = of_older_[i] == kNone && of_newer_[j] == kNone;
      if (!free ||
          (!any_names && !older_.fields[i].name.empty() && !newer_.fields[j].name.empty())) {
        ++i, ++j;
        continue;
      }
      size_t older_count = 1, newer_count = 1;
      if (!same_layout(older_.fields[i], newer_.fields[j])) {
        if (const auto group = same_bytes(older_, i, newer_, j); group && free_from(*group, i, j)) {
          std::tie(older_count, newer_count) = *group;
        }
      }
      pair(i, j, older_count, newer_count, true);
      i += older_count;
      j += newer_count;
    }
  }

  bool free_from(const std::pair<size_t, size_t>& counts, size_t i, size_t j) const {
    for (size_t k = 0; k < counts.first; ++k) {
      if (of_older_[i + k] != kNone) return false;
    }
    for (size_t k = 0; k < counts.second; ++k) {
      if (of_newer_[j + k] != kNone) return false;
    }
    return true;
  }

  const TypeLayout& older_;
  const TypeLayout& newer_;
  std::vector<FieldPair> pairs_;
  std::vector<size_t> of_older_;  // kNone, kInGroup (paired), or unused
  std::vector<size_t> of_newer_;  // kNone, kInGroup (not a group's first), or its pair
};

}  // namespace

std::vector<FieldPair> pair_fields(const TypeLayout& older, const TypeLayout& newer) {
  return Pairing(older, newer).run();
}

}  // namespace zim_codec
