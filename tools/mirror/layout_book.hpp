// SPDX-License-Identifier: Apache-2.0
// The source's layouts as the mirror learns them, by fingerprint: each read
// from its record and held against this program's own layout of the table
// id, which the mirror's pool records and its local clients are built for.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "codec/model.hpp"
#include "own_layouts.hpp"

namespace zim_mirror {

struct SourceLayout {
  std::optional<zim_codec::TypeLayout> layout;  // usable: this program's own, or one it lacks
  std::string stopped;                          // else why its objects are not mirrored
};

class LayoutBook {
 public:
  LayoutBook() : own_(own_layouts()) {}
  const SourceLayout* find(uint64_t fingerprint) const;
  // The record `text` that the source published for `fingerprint`, read and judged.
  const SourceLayout& learn(uint64_t fingerprint, uint32_t table_id, const std::string& text);

 private:
  std::string difference(const zim_codec::TypeLayout& source, const OwnLayout& own) const;
  std::map<uint32_t, OwnLayout> own_;
  std::map<uint64_t, SourceLayout> by_fingerprint_;
};

}  // namespace zim_mirror
