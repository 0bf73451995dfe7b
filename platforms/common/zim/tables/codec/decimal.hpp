// SPDX-License-Identifier: Apache-2.0
// The one reading of a number in definitions and manifests: plain decimal
// digits, no sign, no spaces, no leading zero, within a bound. Each reader
// words the refusal in its own message.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec/words.hpp"

namespace zim_codec {

enum class DecimalFault { kNone, kNotDigits, kLeadingZero, kTooLarge };

struct Decimal {
  uint64_t value = 0;
  DecimalFault fault = DecimalFault::kNone;
};

// text as a number from 0 to max (max below 2^64 / 10).
inline Decimal read_decimal(std::string_view text, uint64_t max) {
  if (text.empty() || !all_digits(text)) return {0, DecimalFault::kNotDigits};
  if (text.size() > 1 && text[0] == '0') return {0, DecimalFault::kLeadingZero};
  uint64_t value = 0;
  for (const char c : text) {
    if (value > max) break;  // past the bound already: stop before 64 bits wrap
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return {0, DecimalFault::kTooLarge};
  return {value, DecimalFault::kNone};
}

}  // namespace zim_codec
