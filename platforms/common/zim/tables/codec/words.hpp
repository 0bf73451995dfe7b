// SPDX-License-Identifier: Apache-2.0
// How definitions and manifests split their text into lines and a line into
// words: on the same bytes, so that a form feed or a vertical tab means the
// same in both.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zim_codec {

// The bytes between words. '\r' is one of them, so a line of a CRLF file
// reads as the same line of an LF one.
inline constexpr std::string_view kSpaceBytes = " \t\r\v\f";

inline bool is_space(char c) { return kSpaceBytes.find(c) != std::string_view::npos; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
inline bool all_digits(std::string_view text) {
  return text.find_first_not_of("0123456789") == std::string_view::npos;
}
// Whether nothing but spaces follows position `from` of text.
inline bool only_spaces_from(std::string_view text, size_t from) {
  return text.find_first_not_of(kSpaceBytes, from) == std::string_view::npos;
}

inline std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_space(line[at])) ++at;
    const size_t start = at;
    while (at < line.size() && !is_space(line[at])) ++at;
    if (at > start) words.emplace_back(line.substr(start, at - start));
  }
  return words;
}

// The lines of a text in order, numbered from 1, each without its '\n' (a
// '\r' before it stays, a space to split_words). A last line without '\n'
// is a line; an empty text has none.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  bool next(std::string_view& line) {
    if (rest_.empty()) return false;
    const size_t newline = rest_.find('\n');
    line = rest_.substr(0, newline);
    rest_.remove_prefix(newline == std::string_view::npos ? rest_.size() : newline + 1);
    ++number_;
    return true;
  }
  // The number of the line next() gave last.
  int number() const { return number_; }

 private:
  std::string_view rest_;
  int number_ = 0;
};

// The line of the first '\r' that no '\n' follows: a file saved with CR-only
// line ends, which would read as one line.
inline std::optional<int> lone_carriage_return(std::string_view text) {
  int line = 1;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\n') ++line;
    if (text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n')) return line;
  }
  return std::nullopt;
}

// text without the UTF-8 byte order mark some editors put in front.
inline std::string_view without_byte_order_mark(std::string_view text) {
  constexpr std::string_view kMark = "\xef\xbb\xbf";
  return text.substr(0, kMark.size()) == kMark ? text.substr(kMark.size()) : text;
}

}  // namespace zim_codec
