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

const char* kind_word(Publication::Kind kind) {
  static constexpr const char* kWords[] = {"object", "retired", "indexed", "unindexed"};
  return kWords[kind];
}

EntryFields::EntryFields(const Publication& p, std::string_view epoch_hex)
    : pool_id_(p.pool_id), version_(p.version), table_id_(p.table_id) {
  const auto put = [this](std::string_view name, std::string_view value) {
    words_[size_++] = name;
    words_[size_++] = value;
  };
  put("kind", kind_word(p.kind));
  put("epoch", epoch_hex);
  put("pool_id", pool_id_.view());
  put("version", version_.view());
  put("table_id", table_id_.view());
  if (p.kind == Publication::indexed || p.kind == Publication::unindexed) {
    key_ = DecimalText(p.key);
    put("key", key_.view());
  }
  if (p.kind != Publication::object) return;
  fingerprint_ = HexText(p.fingerprint);
  npus_ = DecimalText(p.npus);
  npd_size_ = DecimalText(p.npd_size);
  put("fingerprint", fingerprint_.view());
  put("npus", npus_.view());
  put("npd_size", npd_size_.view());
  put("image", {reinterpret_cast<const char*>(p.image.data()), p.image.size()});
}

}  // namespace zim_relay
