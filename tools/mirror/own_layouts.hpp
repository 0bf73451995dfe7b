// SPDX-License-Identifier: Apache-2.0
// The layouts this program's table types have, as the pool's allocator
// checks them: the layout notes of the loaded objects (zim/tables/layout_note.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zim_mirror {

struct OwnLayout {
  uint64_t fingerprint;
  std::string text;  // the layout record
};

// By table id; the first note of an id wins (the allocator refuses an id
// with two layouts anyway).
std::map<uint32_t, OwnLayout> own_layouts();

}  // namespace zim_mirror
