// SPDX-License-Identifier: Apache-2.0
// The fingerprint's promise: --compat reports a type of the older catalogue
// breaking exactly when its table id and fingerprint are not found unchanged
// in the newer one.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/fingerprint.hpp"
#include "gen/manifest/compat.hpp"

namespace tablegen_test {

// Each older type on which the two disagree, with which way; empty if none.
inline std::string fingerprint_disagreement(const std::vector<zim_codec::TypeLayout>& older,
                                            const std::vector<zim_codec::TypeLayout>& newer) {
  std::set<std::pair<uint32_t, uint64_t>> kept;
  for (const auto& t : newer) kept.emplace(t.table_id, zim_codec::layout_fingerprint(t));
  std::set<std::string> broken;
  for (const auto& line : zim_codec::compat_lines(older, newer)) {
    if (line.breaking) broken.insert(line.older_type);
  }
  std::string out;
  for (const auto& t : older) {
    const bool changed = kept.count({t.table_id, zim_codec::layout_fingerprint(t)}) == 0;
    if (changed == (broken.count(t.name) != 0)) continue;
    out += t.name + (changed ? ": fingerprint changed, nothing breaking\n"
                             : ": fingerprint kept, a breaking change\n");
  }
  return out;
}

}  // namespace tablegen_test
