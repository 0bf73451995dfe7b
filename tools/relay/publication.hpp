// SPDX-License-Identifier: Apache-2.0
// What the relay publishes of one object, and the keys and encodings it is
// published under (docs/design/relay.md holds the byte layouts).
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "object_image.hpp"

namespace zim_relay {

struct Publication {
  // An object's image, its retirement, or a key of the pool's index that now
  // leads to the object of pool_id (indexed) or no longer leads anywhere.
  enum Kind { object, retired, indexed, unindexed } kind = object;
  uint64_t pool_id = 0;
  uint64_t version = 0;
  uint32_t table_id = 0;  // an index change's: the key's
  uint64_t key = 0;       // an index change's
  // A live object's; nothing for a retirement.
  uint64_t fingerprint = 0;
  uint32_t npus = 0, npd_size = 0;
  Bytes image;
  std::string layout_record;  // its layout's record, published once per fingerprint
};

inline Publication retirement(uint64_t pool_id, uint64_t version, uint32_t table_id) {
  Publication p;
  p.kind = Publication::retired;
  p.pool_id = pool_id;
  p.version = version;
  p.table_id = table_id;
  return p;
}

inline Publication index_change(bool indexed, uint32_t table_id, uint64_t key, uint64_t pool_id,
                                uint64_t version) {
  Publication p = retirement(pool_id, version, table_id);
  p.kind = indexed ? Publication::indexed : Publication::unindexed;
  p.key = key;
  return p;
}

// The keys of one pool, all in one hash slot ("{pool}").
struct PoolKeys {
  explicit PoolKeys(const std::string& pool) : prefix("zim:{" + pool + "}:") {}
  std::string prefix;
  std::string epoch() const { return prefix + "epoch"; }
  // The epoch again, once the relay has published every object of it.
  std::string filled() const { return prefix + "filled"; }
  std::string source() const { return prefix + "source"; }
  std::string changes() const { return prefix + "changes"; }
  std::string layouts() const { return prefix + "layouts"; }
  std::string tables() const { return prefix + "tables"; }
  std::string objects(uint32_t table_id) const {
    return prefix + "objects:" + std::to_string(table_id);
  }
  std::string index_keys(uint32_t table_id) const {
    return prefix + "keys:" + std::to_string(table_id);
  }
};

// Sixteen lowercase hex digits.
std::string hex64(uint64_t value);
// The reverse, for exactly sixteen hex digits.
bool read_hex64(std::string_view text, uint64_t& value);
// A decimal number without sign, leading zeros or more than 20 digits.
bool read_decimal(std::string_view text, uint64_t& value);

// The hash value of an object: version and fingerprint, 8 bytes each
// little-endian, N and the NPD size, 4 bytes each little-endian, then its
// image.
inline constexpr size_t kObjectValueHead = 24;
std::string object_value(const Publication& p);
// The same into `value`, whose buffer is kept.
void put_object_value(const Publication& p, std::string& value);

// A number's decimal text, held by the object.
class DecimalText {
 public:
  explicit DecimalText(uint64_t value = 0)
      : size_(static_cast<size_t>(std::to_chars(digits_, digits_ + sizeof digits_, value).ptr -
                                  digits_)) {}
  std::string_view view() const { return {digits_, size_}; }

 private:
  char digits_[20];
  size_t size_;
};

// Sixteen lowercase hex digits, held by the object.
class HexText {
 public:
  explicit HexText(uint64_t value = 0);
  std::string_view view() const { return {digits_, sizeof digits_}; }

 private:
  char digits_[16];
};

// A stream entry's head: kind (1 byte: the Kind's value), 3 zero bytes,
// table id (4), epoch, pool id, version and key (8 each; the key 0 but for
// an index change), all little-endian. An object's entry carries its object
// value besides, as the objects hash holds it.
inline constexpr size_t kEntryHeadSize = 40;
class EntryHead {
 public:
  EntryHead(const Publication& p, uint64_t epoch);
  std::string_view view() const { return {bytes_, sizeof bytes_}; }

 private:
  char bytes_[kEntryHeadSize];
};

}  // namespace zim_relay
