// SPDX-License-Identifier: Apache-2.0
// The encodings of numbers, hash values and stream entries.
#include "publication.hpp"

#include <cstring>

namespace zim_relay {
namespace {

void put_le(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

HexText::HexText(uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i, value >>= 4) digits_[i] = kDigits[value & 15];
}

std::string hex64(uint64_t value) { return std::string(HexText(value).view()); }

bool read_hex64(std::string_view text, uint64_t& value) {
  if (text.size() != 16) return false;
  value = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  return true;
}

bool read_decimal(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

std::string object_value(const Publication& p) {
  std::string value;
  put_object_value(p, value);
  return value;
}

void put_object_value(const Publication& p, std::string& value) {
  value.clear();
  value.reserve(kObjectValueHead + p.image.size());
  put_le(value, p.version, 8);
  put_le(value, p.fingerprint, 8);
  put_le(value, p.npus, 4);
  put_le(value, p.npd_size, 4);
  value.append(reinterpret_cast<const char*>(p.image.data()), p.image.size());
}

EntryHead::EntryHead(const Publication& p, uint64_t epoch) {
  const auto put = [this](size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
      bytes_[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  };
  const bool keyed = p.kind == Publication::indexed || p.kind == Publication::unindexed;
  put(0, static_cast<uint64_t>(p.kind), 4);
  put(4, p.table_id, 4);
  put(8, epoch, 8);
  put(16, p.pool_id, 8);
  put(24, p.version, 8);
  put(32, keyed ? p.key : 0, 8);
}

}  // namespace zim_relay
