// SPDX-License-Identifier: Apache-2.0
// How outside bytes are shown in a message, shared by the runtime, the
// generator and the tools: header-only and with nothing but the standard
// library, so that any of them can include it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zim_codec {

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

// One message line, "path:line: kind: message", or "path: kind: message" for
// line 0: the form of every message the generator and the readers print.
inline std::string message_line(std::string_view path, int line, std::string_view kind,
                                std::string_view message, size_t max_message_bytes = 240) {
  std::string where = printable(path, 240) + ":";
  if (line > 0) where += std::to_string(line) + ":";
  return where + " " + std::string(kind) + ": " + printable(message, max_message_bytes);
}

// A word of the input, quoted for a message.
inline std::string quote(std::string_view word) { return "'" + printable(word, 48) + "'"; }

}  // namespace zim_codec
