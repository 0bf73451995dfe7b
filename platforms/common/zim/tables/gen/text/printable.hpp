// SPDX-License-Identifier: Apache-2.0
// How outside bytes are shown in a message, shared by the generator, its
// tools and the simulated platform (target zim_printable): header-only and
// with nothing but the standard library, so that any of them can include it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tablegen {

// The bytes a terminal shows as themselves: ASCII from ' ' to '~'.
inline bool is_visible_ascii(unsigned char c) { return c >= 0x20 && c < 0x7f; }

// Bytes a terminal would act on (controls, escape sequences, NUL) or that are
// not ASCII are shown as \xNN, and overlong text is cut, so that whatever a
// broken file, a name or the environment holds, a message is one readable
// line.
inline std::string printable(std::string_view text, std::size_t max_bytes = 160) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : text) {
    if (out.size() >= max_bytes) return out + "...";
    const auto c = static_cast<unsigned char>(ch);
    if (is_visible_ascii(c)) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace tablegen
