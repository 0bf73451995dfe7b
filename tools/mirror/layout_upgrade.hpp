// SPDX-License-Identifier: Apache-2.0
// The conversion of a source's objects laid out by an older layout of a
// table id into this program's own layout of it, for a mirror built for a
// newer catalogue than the sources it follows. A plan of the converter
// library, made once per source layout; each object image converts alone.
#pragma once

#include <zim/tables/migration.h>

#include <cstdint>
#include <memory>
#include <string>

#include "codec/model.hpp"
#include "stream_entry.hpp"

namespace zim_mirror {

class LayoutUpgrade {
 public:
  // The plan from the source's record `source_text` to this program's
  // `own_text` (read as `own`), for N and the NPD size both sides share;
  // null with every refusal of the converter, one per line, in `why`.
  static std::unique_ptr<LayoutUpgrade> plan(const std::string& source_text,
                                             const std::string& own_text, zim_codec::TypeLayout own,
                                             uint64_t own_fingerprint, uint32_t npus,
                                             uint32_t npd_size, std::string& why);
  ~LayoutUpgrade();
  LayoutUpgrade(const LayoutUpgrade&) = delete;
  LayoutUpgrade& operator=(const LayoutUpgrade&) = delete;

  const zim_codec::TypeLayout& own() const { return own_; }
  // The source's fields this program's layout has no room for, whose values
  // the conversion drops ("field 3 'x' 216:8"), "; " between; "" for none.
  std::string dropped() const;

  // `c`'s image, checked against the source's layout, converted into an
  // image of this program's layout in `into` (its fingerprint with it);
  // false with the reason, `into` untouched.
  bool convert(const Change& c, const zim_codec::TypeLayout& source, Change& into,
               std::string& why) const;

 private:
  LayoutUpgrade(zim_table_migration_t* plan, zim_codec::TypeLayout own, uint64_t fingerprint)
      : plan_(plan), own_(std::move(own)), own_fingerprint_(fingerprint) {}

  zim_table_migration_t* plan_;
  zim_codec::TypeLayout own_;
  uint64_t own_fingerprint_;
};

}  // namespace zim_mirror
