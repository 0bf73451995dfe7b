// SPDX-License-Identifier: Apache-2.0
// Layout records compared one type at a time, for the platform: a pool keeps
// the layout record of each type it holds objects of, a program carries its
// own in its layout notes (zim/tables/layout_note.h), and the two are
// compared before either reads the other's objects.
#pragma once

#include <string>
#include <string_view>

namespace zim_codec {

// Who holds each of the two records, as the difference names them.
struct RecordSides {
  const char* older = "the pool's objects";
  const char* newer = "this program's";
};

// The change that first breaks sharing objects between `older` and `newer`
// (two records of one table id), the cause rather than what moved with it,
// worded from the older side to the newer: "NAME: the pool's objects have
// `speed` 4 bytes wide; this program's have 8". Empty when nothing breaks. A
// record that cannot be read gives "layout record unreadable: ..." instead.
// Names are escaped; never throws.
std::string first_breaking_difference(std::string_view older, std::string_view newer,
                                      const RecordSides& sides = {}) noexcept;

}  // namespace zim_codec
