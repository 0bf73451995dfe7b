// SPDX-License-Identifier: Apache-2.0
#include "stream_entry.hpp"

#include <zim/sim/pool_records.h>
#include <zim/sim/pool_versions.h>

#include <map>

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

bool read_kind(const std::string& word, Publication::Kind& kind) {
  for (const auto k :
       {Publication::object, Publication::retired, Publication::indexed, Publication::unindexed}) {
    if (word == zim_relay::kind_word(k)) return kind = k, true;
  }
  return false;
}

bool read_u32(const std::string& text, uint32_t& value) {
  uint64_t wide = 0;
  if (!read_decimal(text, wide) || wide > UINT32_MAX) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

bool read_table_id(const std::string& text, uint32_t& value) {
  return read_u32(text, value) && value <= ZIM_SHM_POOL_MAX_TABLE_ID;
}

// The fields every entry has, then those of its kind.
bool read_fields(const std::map<std::string, std::string>& f, Change& c, std::string& why) {
  const auto get = [&f](const char* name) {
    const auto it = f.find(name);
    return it == f.end() ? std::string("\x01") : it->second;  // never a number
  };
  if (!read_kind(get("kind"), c.kind)) return why = "its kind is not known", false;
  if (!read_hex64(get("epoch"), c.epoch) || !read_decimal(get("pool_id"), c.pool_id) ||
      !read_decimal(get("version"), c.version) || !read_table_id(get("table_id"), c.table_id)) {
    return why = "its epoch, pool id, version or table id does not read", false;
  }
  if (c.pool_id == 0 || c.epoch == 0) return why = "its pool id or epoch is 0", false;
  if (c.pool_id >= ZIM_SHM_POOL_LOCAL_IDS) return why = "its pool id is a local one", false;
  if (c.kind == Publication::indexed || c.kind == Publication::unindexed) {
    if (!read_decimal(get("key"), c.key)) return why = "its key does not read", false;
    return true;
  }
  if (c.kind == Publication::retired) return true;
  if (!read_hex64(get("fingerprint"), c.fingerprint) || !read_u32(get("npus"), c.npus) ||
      !read_u32(get("npd_size"), c.npd_size) || !f.count("image")) {
    return why = "its fingerprint, N, NPD size or image does not read", false;
  }
  const std::string& image = f.at("image");
  c.image.assign(image.begin(), image.end());
  return true;
}

}  // namespace

bool read_stream_id(const std::string& text, StreamId& id) {
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
  std::map<std::string, std::string> f;
  for (size_t i = 0; i + 1 < fields.items.size(); i += 2) {
    if (fields.items[i].kind != Reply::kString || fields.items[i + 1].kind != Reply::kString) {
      return why = "stream entry " + id.text() + " holds a field that is no string", false;
    }
    f[fields.items[i].text] = fields.items[i + 1].text;
  }
  change = Change{};
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
