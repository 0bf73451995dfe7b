// SPDX-License-Identifier: Apache-2.0
// The source's layouts as the mirror learns them, by fingerprint: each read
// from its record and held against this program's own layout of the table
// id, which the mirror's pool records and its local clients are built for.
// A source layout older than this program's converts into it when the
// converter carries every change between the two.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "codec/model.hpp"
#include "layout_upgrade.hpp"
#include "records/program_layouts.hpp"

namespace zim_mirror {

// This program's layout of a table id as the pool reads it from the loaded
// objects' notes: the first note of an id (the allocator refuses an id with
// two layouts anyway).
using OwnLayout = zim_sim::NoteLayout;

struct SourceLayout {
  std::optional<zim_codec::TypeLayout> layout;  // usable: as the source lays its objects out
  std::unique_ptr<LayoutUpgrade> upgrade;       // set when they convert into this program's
  std::string stopped;                          // else why its objects are not mirrored
  // The record the source published, when this program has no layout of the
  // table id: the pool records it with the id's first object, for local
  // clients built with the source's types.
  std::optional<std::string> received;
};

class LayoutBook {
 public:
  LayoutBook() : own_(zim_sim::program_layouts()) {}
  const SourceLayout* find(uint64_t fingerprint) const;
  // The record `text` that the source published for `fingerprint`, read and
  // judged, for the N and NPD size that source and mirror share.
  const SourceLayout& learn(uint64_t fingerprint, uint32_t table_id, const std::string& text,
                            uint32_t npus, uint32_t npd_size);

 private:
  std::string difference(const zim_codec::TypeLayout& source, const OwnLayout& own) const;
  // `known` converting into `own`, or stopped naming why not.
  void judge_other(SourceLayout& known, const std::string& text, const OwnLayout& own,
                   uint32_t npus, uint32_t npd_size);
  std::shared_ptr<const zim_sim::ProgramLayouts> own_;
  std::map<uint64_t, SourceLayout> by_fingerprint_;
};

}  // namespace zim_mirror
