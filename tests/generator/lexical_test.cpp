// SPDX-License-Identifier: Apache-2.0
// The lexical layer the definition and manifest readers share, at its edges:
// numbers at their bounds, line ends, and items spelled back as read.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "codec/decimal.hpp"
#include "codec/item_syntax.hpp"
#include "codec/words.hpp"

namespace {

using zim_codec::DecimalFault;

TEST(Lexical, DecimalsWithinTheirBound) {
  const struct {
    const char* text;
    uint64_t max;
    DecimalFault fault;
  } cases[] = {
      {"0", 0, DecimalFault::kNone},
      {"65535", 65535, DecimalFault::kNone},
      {"4294967295", UINT32_MAX, DecimalFault::kNone},
      {"65536", 65535, DecimalFault::kTooLarge},
      {"99999999999999999999999", UINT32_MAX, DecimalFault::kTooLarge},
      {"", 9, DecimalFault::kNotDigits},
      {"+1", 9, DecimalFault::kNotDigits},
      {"-1", 9, DecimalFault::kNotDigits},
      {" 1", 9, DecimalFault::kNotDigits},
      {"1x", 9, DecimalFault::kNotDigits},
      {"00", 9, DecimalFault::kLeadingZero},
      {"07", 9, DecimalFault::kLeadingZero},
  };
  for (const auto& c : cases) {
    const auto read = zim_codec::read_decimal(c.text, c.max);
    EXPECT_EQ(read.fault, c.fault) << c.text;
    EXPECT_EQ(std::to_string(read.value), c.fault == DecimalFault::kNone ? c.text : "0");
  }
}

TEST(Lexical, LinesEndAtLineFeeds) {
  const struct {
    std::string text, lines;  // the lines joined by '|'
    std::optional<int> lone_cr;
  } cases[] = {
      {"", "", std::nullopt},
      {"a", "1a", std::nullopt},
      {"a\nb\n", "1a|2b", std::nullopt},
      {"a\r\n\nb", "1a\r|2|3b", std::nullopt},
      {"a\rb\n", "1a\rb", 1},
      {"a\nb\r", "1a|2b\r", 2},
  };
  for (const auto& c : cases) {
    std::string joined;
    zim_codec::Lines lines(c.text);
    for (std::string_view line; lines.next(line);) {
      joined += (joined.empty() ? "" : "|") + std::to_string(lines.number()) + std::string(line);
    }
    EXPECT_EQ(joined, c.lines) << c.text;
    EXPECT_EQ(zim_codec::lone_carriage_return(c.text), c.lone_cr) << c.text;
  }
  EXPECT_EQ(zim_codec::split_words("\fa\vb \t c\r"), (std::vector<std::string>{"a", "b", "c"}));
}

// Each item read into its parts and spelled back from their numbers; "" for
// an item of no item's shape.
TEST(Lexical, ItemsSpellBackAsRead) {
  const auto respelled = [](const std::string& text, bool header) {
    const auto parts =
        header ? zim_codec::split_header_item(text) : zim_codec::split_field_item(text);
    if (!parts) return std::string();
    const auto number = [](std::string_view t) {
      return zim_codec::read_decimal(t, 1u << 20).value;
    };
    return zim_codec::item_spelling(
        parts->offset_given ? std::optional<uint64_t>(number(parts->offset)) : std::nullopt,
        number(parts->size), parts->array(),
        parts->suffix.empty() || parts->array() ? 1 : number(parts->suffix));
  };
  for (const char* item : {"216:32x3", "400:8xN", "8xC", "32x3", "0:4", "17"}) {
    EXPECT_EQ(respelled(item, false), item);
  }
  EXPECT_EQ(respelled("0:4", true), "0:4");
  for (const char* refused : {"x3", "8x", "1:8x", "8y", "N"}) {
    EXPECT_EQ(respelled(refused, false), "") << refused;
  }
  EXPECT_EQ(respelled("04", true), "");
}

}  // namespace
