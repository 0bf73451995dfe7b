// SPDX-License-Identifier: Apache-2.0
// The one way generated text and generated names are made: templates with
// "$(name)" placeholders, filled from named values, so that an emitter reads
// like the code it produces. A placeholder without a value is the generator's
// own fault and throws rather than emitting a half-made file.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tablegen {

// Hashed: every placeholder of every file is looked up here.
using Vars = std::unordered_map<std::string, std::string>;

inline std::string str(uint32_t v) { return std::to_string(v); }

// Where the next "$(" of text lies from `from` on. Found by memchr: templates
// run to kilobytes, and string_view's find of two characters steps a byte at
// a time.
inline size_t next_placeholder(std::string_view text, size_t from) {
  while (from < text.size()) {
    const void* dollar = std::memchr(text.data() + from, '$', text.size() - from);
    if (dollar == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const char*>(dollar) - text.data());
    if (at + 1 < text.size() && text[at + 1] == '(') return at;
    from = at + 1;
  }
  return std::string_view::npos;
}

inline std::string render(std::string_view text, const Vars& vars) {
  std::string out;
  out.reserve(text.size() + 256);
  size_t pos = 0;
  while (true) {
    const size_t open = next_placeholder(text, pos);
    if (open == std::string_view::npos) break;
    const size_t close = text.find(')', open);
    if (close == std::string_view::npos) throw std::logic_error("unclosed $( in a template");
    out.append(text.substr(pos, open - pos));
    // One buffer for the keys, so that a key too long for the string's own
    // room costs no allocation.
    static thread_local std::string key;
    key.assign(text.substr(open + 2, close - open - 2));
    const auto it = vars.find(key);
    if (it == vars.end()) {
      throw std::logic_error("template variable $(" + key + ") has no value");
    }
    out += it->second;
    pos = close + 1;
  }
  out.append(text.substr(pos));
  return out;
}

// A template of one placeholder, such as an operation's name over $(t),
// filled without building a Vars: the generator names every operation of
// every type many times over.
inline std::string render(std::string_view text, std::string_view key, std::string_view value) {
  std::string out;
  size_t pos = 0;
  for (size_t open = next_placeholder(text, 0); open != std::string_view::npos;
       open = next_placeholder(text, pos)) {
    const size_t close = text.find(')', open);
    if (close == std::string_view::npos || text.substr(open + 2, close - open - 2) != key) {
      return render(text, Vars{{std::string(key), std::string(value)}});  // throws as it should
    }
    out.append(text.substr(pos, open - pos)).append(value);
    pos = close + 1;
  }
  return out.append(text.substr(pos));
}

}  // namespace tablegen
