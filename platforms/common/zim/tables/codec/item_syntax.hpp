// SPDX-License-Identifier: Apache-2.0
// The spelling of an item: "off:w" for a type-header field; "off:w",
// "off:wxn", "off:exN" or "off:exC" for a data field, each also without
// "off:". Split here into its parts before any number is read, and written
// back from its numbers, so that every message and output spells items alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/words.hpp"

namespace zim_codec {

// The parts of an item as written.
struct ItemParts {
  bool offset_given = false;
  std::string_view offset;  // before ':'
  std::string_view size;    // the field width or the element size
  std::string_view suffix;  // after 'x': "N", "C", a run length, or ""
  // 'N' or 'C' for an array, '\0' for inline fields.
  char array() const { return suffix == "N" || suffix == "C" ? suffix[0] : '\0'; }
};

// "off:w": the offset and the width, both unread; nothing without a ':'.
inline std::optional<ItemParts> split_header_item(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return ItemParts{true, text.substr(0, colon), text.substr(colon + 1), {}};
}

// A data field's item; nothing for one of no item's shape. Without an
// offset the item is all size and suffix, so a stray byte reads as a
// malformed item rather than as a bad number.
inline std::optional<ItemParts> split_field_item(std::string_view text) {
  const size_t colon = text.find(':');
  const size_t start = colon == std::string_view::npos ? 0 : colon + 1;
  const size_t x = text.find('x', start);
  const bool offset_less_shape =
      colon != std::string_view::npos ||
      (!text.empty() && is_digit(text[0]) && all_digits(text.substr(0, x)));
  if (x + 1 == text.size() || !offset_less_shape) return std::nullopt;
  ItemParts parts;
  parts.offset_given = colon != std::string_view::npos;
  if (parts.offset_given) parts.offset = text.substr(0, colon);
  parts.size = text.substr(start, x == std::string_view::npos ? x : x - start);
  if (x != std::string_view::npos) parts.suffix = text.substr(x + 1);
  return parts;
}

// An item as a definition writes it: "216:32x3", "400:8xN", "32x3" without
// its offset, "0:4" for a header field. array is as ItemParts::array() gives
// it; an array's run length is not written.
inline std::string item_spelling(std::optional<uint64_t> offset, uint64_t size, char array = '\0',
                                 uint64_t run_length = 1) {
  std::string text =
      (offset ? std::to_string(*offset) + ":" : std::string()) + std::to_string(size);
  if (array != '\0') return text + "x" + array;
  return run_length == 1 ? text : text + "x" + std::to_string(run_length);
}

}  // namespace zim_codec
