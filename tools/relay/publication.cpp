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

std::string hex64(uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 15];
  return text;
}

bool read_hex64(const std::string& text, uint64_t& value) {
  if (text.size() != 16) return false;
  value = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  return true;
}

bool read_decimal(const std::string& text, uint64_t& value) {
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
  value.reserve(kObjectValueHead + p.image.size());
  put_le(value, p.version, 8);
  put_le(value, p.fingerprint, 8);
  put_le(value, p.npus, 4);
  put_le(value, p.npd_size, 4);
  value.append(reinterpret_cast<const char*>(p.image.data()), p.image.size());
  return value;
}

const char* kind_word(Publication::Kind kind) {
  static constexpr const char* kWords[] = {"object", "retired", "indexed", "unindexed"};
  return kWords[kind];
}

std::vector<std::string> entry_fields(const Publication& p, uint64_t epoch) {
  std::vector<std::string> fields{
      "kind",     kind_word(p.kind),         "epoch",   hex64(epoch),
      "pool_id",  std::to_string(p.pool_id), "version", std::to_string(p.version),
      "table_id", std::to_string(p.table_id)};
  if (p.kind == Publication::indexed || p.kind == Publication::unindexed) {
    fields.insert(fields.end(), {"key", std::to_string(p.key)});
  }
  if (p.kind != Publication::object) return fields;
  const std::vector<std::string> object{"fingerprint", hex64(p.fingerprint),
                                        "npus",        std::to_string(p.npus),
                                        "npd_size",    std::to_string(p.npd_size),
                                        "image",       std::string(p.image.begin(), p.image.end())};
  fields.insert(fields.end(), object.begin(), object.end());
  return fields;
}

}  // namespace zim_relay
