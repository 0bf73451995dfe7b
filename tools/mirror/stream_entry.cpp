// SPDX-License-Identifier: Apache-2.0
#include "stream_entry.hpp"

#include <zim/sim/pool_records.h>
#include <zim/sim/pool_versions.h>

#include "codec/printable.hpp"

namespace zim_mirror {
namespace {

using zim_relay::read_decimal;

uint64_t load_le(std::string_view bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return value;
}

// The entry's head (zim_relay::EntryHead): every byte is checked, so that a
// head of another relay's making is refused rather than half read.
bool read_head(std::string_view head, Change& c, std::string& why) {
  if (head.size() != zim_relay::kEntryHeadSize) {
    return why = "its head is " + std::to_string(head.size()) + " bytes, not " +
                 std::to_string(zim_relay::kEntryHeadSize),
           false;
  }
  const uint64_t kind = load_le(head, 0, 4);
  if (kind > Publication::unindexed) return why = "its kind is not known", false;
  c.kind = static_cast<Publication::Kind>(kind);
  const uint64_t table_id = load_le(head, 4, 4);
  if (table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return why = "its table id is past the largest", false;
  c.table_id = static_cast<uint32_t>(table_id);
  c.epoch = load_le(head, 8, 8);
  c.pool_id = load_le(head, 16, 8);
  c.version = load_le(head, 24, 8);
  c.key = load_le(head, 32, 8);
  if (c.pool_id == 0 || c.epoch == 0) return why = "its pool id or epoch is 0", false;
  if (c.pool_id >= ZIM_SHM_POOL_LOCAL_IDS) return why = "its pool id is a local one", false;
  if (c.key != 0 && c.kind != Publication::indexed && c.kind != Publication::unindexed)
    return why = "it carries a key but is no index change", false;
  return true;
}

// An object value: its head, then the image into c.image, whose buffer is kept.
bool read_value(std::string_view value, Change& c, std::string& why) {
  if (value.size() < zim_relay::kObjectValueHead) {
    return why = "its object value is shorter than its head", false;
  }
  c.version = load_le(value, 0, 8);
  c.fingerprint = load_le(value, 8, 8);
  c.npus = static_cast<uint32_t>(load_le(value, 16, 4));
  c.npd_size = static_cast<uint32_t>(load_le(value, 20, 4));
  const auto* image = reinterpret_cast<const unsigned char*>(value.data());
  c.image.assign(image + zim_relay::kObjectValueHead, image + value.size());
  return true;
}

// Clears a change for the next read, keeping its image's buffer.
void clear_change(Change& change) {
  Bytes image = std::move(change.image);
  change = Change{};
  change.image = std::move(image);
  change.image.clear();
}

}  // namespace

bool read_stream_id(std::string_view text, StreamId& id) {
  const size_t dash = text.find('-');
  return dash != std::string_view::npos && read_decimal(text.substr(0, dash), id.ms) &&
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
  const std::string* head = nullptr;
  const std::string* object = nullptr;
  for (size_t i = 0; i + 1 < fields.items.size(); i += 2) {
    const Reply& name = fields.items[i];
    const Reply& value = fields.items[i + 1];
    if (name.kind != Reply::kString || value.kind != Reply::kString) {
      return why = "stream entry " + id.text() + " holds a field that is no string", false;
    }
    if (name.text == "head") head = &value.text;
    if (name.text == "object") object = &value.text;  // other fields: a later relay's
  }
  clear_change(change);
  const auto refused = [&](const std::string& what) {
    why = "stream entry " + id.text() + ": " + what;
    return false;
  };
  if (head == nullptr) return refused("it has no head");
  if (!read_head(*head, change, why)) return refused(why);
  const bool is_object = change.kind == Publication::object;
  if (is_object != (object != nullptr)) {
    return refused(is_object ? "an object's entry without its object" : "it carries an object");
  }
  if (!is_object) return true;
  const uint64_t version = change.version;
  if (!read_value(*object, change, why)) return refused(why);
  if (change.version != version) return refused("its head and its object disagree on the version");
  return true;
}

bool read_object_value(uint32_t table_id, std::string_view field, std::string_view value,
                       Change& change, std::string& why) {
  clear_change(change);
  change.table_id = table_id;
  if (!read_decimal(field, change.pool_id) || change.pool_id == 0) {
    why = "the objects hash of table id " + std::to_string(table_id) + " holds the field " +
          zim_codec::quote(field) + ", not a pool id";
    return false;
  }
  if (!read_value(value, change, why)) {
    why = "object " + std::string(field) + ": " + why;
    return false;
  }
  return true;
}

}  // namespace zim_mirror
