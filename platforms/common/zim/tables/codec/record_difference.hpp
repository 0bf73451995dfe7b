// SPDX-License-Identifier: Apache-2.0
// Layout records compared one type at a time, for the platform: a pool keeps
// the layout record of each type it holds objects of, a program carries its
// own in its layout notes (zim/tables/layout_note.h), and the two are
// compared before either reads the other's objects.
#pragma once

#include <string>
#include <string_view>

namespace zim_codec {

// The first breaking difference of `newer` against `older` (two records of
// one table id), in --compat's words without the path and the verdict:
// "NAME: data field ... is now ...: processes on the old layout read and copy
// other bytes", then, for a change no migration carries, "; " and the rule it
// breaks. Empty when nothing breaks. A record that cannot be read gives
// "layout record unreadable: ..." instead. Never throws.
std::string first_breaking_difference(std::string_view older, std::string_view newer) noexcept;

}  // namespace zim_codec
