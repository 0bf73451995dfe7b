// SPDX-License-Identifier: Apache-2.0
#include "stream_entry.hpp"

#include <zim/sim/pool_records.h>
#include <zim/sim/pool_versions.h>

#include <array>
#include <string_view>

#include "codec/printable.hpp"

namespace zim_mirror {
namespace {

using zim_relay::read_decimal;
using zim_relay::read_hex64;

uint64_t load_le(const std::string& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return value;
}

bool read_kind(std::string_view word, Publication::Kind& kind) {
  for (const auto k :
       {Publication::object, Publication::retired, Publication::indexed, Publication::unindexed}) {
    if (word == zim_relay::kind_word(k)) return kind = k, true;
  }
  return false;
}

bool read_u32(std::string_view text, uint32_t& value) {
  uint64_t wide = 0;
  if (!read_decimal(text, wide) || wide > UINT32_MAX) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

bool read_table_id(std::string_view text, uint32_t& value) {
  return read_u32(text, value) && value <= ZIM_SHM_POOL_MAX_TABLE_ID;
}

// An entry's fields by name, as views into the reply; a field named twice
// keeps its last value, and one this mirror does not know is not read.
class EntryView {
 public:
  void put(std::string_view name, std::string_view value) {
    if (const int i = slot(name); i >= 0) values_[i] = value, found_[i] = true;
  }
  // The value, or a text that is never a number nor a kind.
  std::string_view get(std::string_view name) const {
    const int i = slot(name);
    return i >= 0 && found_[i] ? values_[i] : std::string_view("\x01");
  }
  bool has(std::string_view name) const {
    const int i = slot(name);
    return i >= 0 && found_[i];
  }

 private:
  static constexpr std::array<std::string_view, 10> kNames{
      "kind", "epoch", "pool_id",  "version",     "table_id",
      "key",  "npus",  "npd_size", "fingerprint", "image"};
  static int slot(std::string_view name) {
    for (size_t i = 0; i < kNames.size(); ++i) {
      if (name == kNames[i]) return static_cast<int>(i);
    }
    return -1;
  }
  std::array<std::string_view, kNames.size()> values_{};
  std::array<bool, kNames.size()> found_{};
};

// The fields every entry has, then those of its kind.
bool read_fields(const EntryView& f, Change& c, std::string& why) {
  if (!read_kind(f.get("kind"), c.kind)) return why = "its kind is not known", false;
  if (!read_hex64(f.get("epoch"), c.epoch) || !read_decimal(f.get("pool_id"), c.pool_id) ||
      !read_decimal(f.get("version"), c.version) || !read_table_id(f.get("table_id"), c.table_id)) {
    return why = "its epoch, pool id, version or table id does not read", false;
  }
  if (c.pool_id == 0 || c.epoch == 0) return why = "its pool id or epoch is 0", false;
  if (c.pool_id >= ZIM_SHM_POOL_LOCAL_IDS) return why = "its pool id is a local one", false;
  if (c.kind == Publication::indexed || c.kind == Publication::unindexed) {
    if (!read_decimal(f.get("key"), c.key)) return why = "its key does not read", false;
    return true;
  }
  if (c.kind == Publication::retired) return true;
  if (!read_hex64(f.get("fingerprint"), c.fingerprint) || !read_u32(f.get("npus"), c.npus) ||
      !read_u32(f.get("npd_size"), c.npd_size) || !f.has("image")) {
    return why = "its fingerprint, N, NPD size or image does not read", false;
  }
  const std::string_view image = f.get("image");
  c.image.assign(image.begin(), image.end());
  return true;
}

}  // namespace

bool read_stream_id(std::string_view text, StreamId& id) {
  const size_t dash = text.find('-');
  return dash != std::string::npos && read_decimal(text.substr(0, dash), id.ms) &&
         read_decimal(text.substr(dash + 1), id.seq);
}

bool read_entry(const Reply& entry, StreamId& id, Change& change, std::string& why) {
  if (entry.kind != Reply::kArray || entry.items.size() != 2 ||
      entry.items[0].kind != Reply::kString || !read_stream_id(entry.items[0].text, id)) {
    return why = "a stream entry without an id", false;
  }
  const Reply& fields = entry.items[1];
  if (fields.kind != Reply::kArray || fields.items.size() % 2 != 0) {
    return why = "stream entry " + id.text() + " has no fields", false;
  }
  EntryView f;
  for (size_t i = 0; i + 1 < fields.items.size(); i += 2) {
    if (fields.items[i].kind != Reply::kString || fields.items[i + 1].kind != Reply::kString) {
      return why = "stream entry " + id.text() + " holds a field that is no string", false;
    }
    f.put(fields.items[i].text, fields.items[i + 1].text);
  }
  // The image's buffer is kept: a mirror reads entry after entry into one Change.
  Bytes image = std::move(change.image);
  change = Change{};
  change.image = std::move(image);
  change.image.clear();
  if (!read_fields(f, change, why)) return why = "stream entry " + id.text() + ": " + why, false;
  return true;
}

bool read_object_value(uint32_t table_id, const std::string& field, const std::string& value,
                       Change& change, std::string& why) {
  change = Change{};
  change.table_id = table_id;
  if (!read_decimal(field, change.pool_id) || change.pool_id == 0) {
    why = "the objects hash of table id " + std::to_string(table_id) + " holds the field " +
          zim_codec::quote(field) + ", not a pool id";
    return false;
  }
  if (value.size() < zim_relay::kObjectValueHead) {
    why = "object " + field + " has a value shorter than its head";
    return false;
  }
  change.version = load_le(value, 0, 8);
  change.fingerprint = load_le(value, 8, 8);
  change.npus = static_cast<uint32_t>(load_le(value, 16, 4));
  change.npd_size = static_cast<uint32_t>(load_le(value, 20, 4));
  change.image.assign(value.begin() + zim_relay::kObjectValueHead, value.end());
  return true;
}

}  // namespace zim_mirror
