// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the checks of an image before a pool is made from it. Each
// names the first thing wrong; nothing of the image is trusted before its
// check, and no check reads past what a count given beside it bounds.

#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "alloc/alloc.hpp"
#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/pool_records.hpp"
#include "feed/feed.hpp"
#include "image/image.hpp"
#include "platform/env.hpp"
#include "upgrade/upgrade.hpp"
#include "versions/versions.hpp"

namespace zim_sim {
namespace {

std::string num(uint64_t n) { return std::to_string(n); }

int invalid(std::string* why, std::string text) {
  *why = std::move(text);
  return EINVAL;
}

bool known_object_id(uint32_t table_id) {
  return table_id <= ZIM_SHM_POOL_MAX_TABLE_ID || table_id == ZIM_SHM_POOL_UNTYPED;
}

int check_pool_facts(const zim_shm_pool_image_t& im, std::string* why) {
  if (im.size < ZIM_SHM_POOL_MIN_SIZE) {
    return invalid(why, "a pool of " + num(im.size) + " bytes, below the smallest pool");
  }
  if (im.feed_capacity == 0 || im.feed_capacity > ZIM_SHM_POOL_MAX_FEED_CAPACITY ||
      im.index_capacity == 0 || im.index_capacity > ZIM_SHM_POOL_MAX_INDEX_CAPACITY) {
    return invalid(why, "a feed of " + num(im.feed_capacity) + " entries or an index of " +
                            num(im.index_capacity) + " keys, out of range");
  }
  if (im.next_sequence == 0 || im.next_sequence > kFeedMaxSequence) {
    return invalid(why, "a next sequence of " + num(im.next_sequence) + ", out of range");
  }
  if (im.key_count > im.index_capacity) {
    return invalid(why, num(im.key_count) + " keys for an index of " + num(im.index_capacity));
  }
  return 0;
}

// A pool is made for one N and NPD size: every object's shape follows them.
int check_config(const zim_shm_pool_image_t& im, std::string* why) {
  const Config mine = this_process_config();
  bool same = im.max_num_npus == mine.max_num_npus &&
              im.default_npd_size == mine.default_npd_size &&
              im.npd_entry_count == mine.entries.size();
  for (uint64_t i = 0; same && i < im.npd_entry_count; ++i) {
    same = im.npd_entries[i].table_id == mine.entries[i].table_id &&
           im.npd_entries[i].size == mine.entries[i].size;
  }
  if (same) return 0;
  *why = "it was saved from a pool made for N " + num(im.max_num_npus) + " and NPD size " +
         num(im.default_npd_size) + " with " + num(im.npd_entry_count) +
         " NPD entries, and this process has N " + num(mine.max_num_npus) + " and NPD size " +
         num(mine.default_npd_size) + " with " + num(mine.entries.size()) +
         " (ZIM_MAX_NUM_NPUS, ZIM_NPD_SIZE, ZIM_NPD_SIZES)";
  return EPROTO;
}

int check_layout(const zim_shm_pool_image_layout_t& l, const Config& config, CheckedImage* out,
                 std::string* why) {
  const std::string at = "the layout record of table id " + num(l.table_id);
  if (l.table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return invalid(why, at + ": no such table id");
  if (out->layouts.count(l.table_id) != 0) return invalid(why, at + " comes twice");
  if (l.text_size == 0 || l.text_size > zim_codec::kMaxLayoutText) {
    return invalid(why, at + ": a text of " + num(l.text_size) + " bytes");
  }
  const std::string text(l.text, l.text_size);
  std::string problem;
  const auto layout = zim_codec::read_layout_record(text, &problem);
  if (!layout || layout->table_id != l.table_id) {
    return invalid(why, at + " does not read as one: " + printable(problem));
  }
  if (zim_codec::layout_fingerprint(*layout) != l.fingerprint) {
    return invalid(why, at + ": its fingerprint is not its text's");
  }
  const uint32_t npd = npd_size(config, l.table_id);
  char reason[512] = "";
  ImagePlan plan(zim_table_migration_plan(text.data(), text.size(), text.data(), text.size(),
                                          config.max_num_npus, npd, npd, reason, sizeof reason),
                 zim_table_migration_free);
  if (plan == nullptr) return invalid(why, at + " cannot lay objects out: " + printable(reason));
  out->layouts[l.table_id] = NoteLayout{l.fingerprint, text, "the image", "", SizeRule{}};
  out->plans.emplace(l.table_id, std::move(plan));
  return 0;
}

int check_object(const zim_shm_pool_image_t& im, uint64_t i, CheckedImage* out, std::string* why) {
  const zim_shm_pool_image_object_t& o = im.objects[i];
  const std::string at = "object " + num(i) + " (pool id " + num(o.pool_id) + ")";
  if (!known_object_id(o.table_id)) {
    return invalid(why, at + ": table id " + num(o.table_id) + " names no table");
  }
  if (o.pool_id == 0 || !out->by_pool_id.emplace(o.pool_id, i).second) {
    return invalid(why, at + ": its pool id is 0 or another object's");
  }
  if (o.version < 2 || o.version % 2 != 0 || o.version / 2 >= im.next_sequence) {
    return invalid(why, at + ": version " + num(o.version) +
                            " is not a whole version before the next sequence " +
                            num(im.next_sequence));
  }
  if (o.size == 0 || o.size > im.size || o.bytes == nullptr) {
    return invalid(why, at + ": " + num(o.size) + " bytes, not a block of the pool");
  }
  const auto plan = out->plans.find(o.table_id);
  if (plan != out->plans.end() &&
      zim_table_migration_new_size(plan->second.get(), o.bytes, o.size) != o.size) {
    return invalid(why, at + ": not sound for the layout recorded for table id " + num(o.table_id));
  }
  if (o.pool_id < ZIM_SHM_POOL_LOCAL_IDS && o.pool_id > out->last_pool_id) {
    out->last_pool_id = o.pool_id;
  }
  return 0;
}

int check_keys(const zim_shm_pool_image_t& im, const CheckedImage& checked, std::string* why) {
  std::set<std::pair<uint32_t, uint64_t>> seen;
  for (uint64_t i = 0; i < im.key_count; ++i) {
    const zim_shm_pool_image_key_t& k = im.keys[i];
    const std::string at = "key " + num(k.key) + " of table id " + num(k.table_id);
    if (k.table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return invalid(why, at + ": no such table id");
    if (!seen.emplace(k.table_id, k.key).second) return invalid(why, at + " comes twice");
    if (checked.by_pool_id.count(k.pool_id) == 0) {
      return invalid(why, at + " leads to pool id " + num(k.pool_id) + ", which no object has");
    }
  }
  if (im.root_pool_id != 0 && checked.by_pool_id.count(im.root_pool_id) == 0) {
    return invalid(why, "the root names pool id " + num(im.root_pool_id) + ", which no object has");
  }
  return 0;
}

// The bytes the pool's records and the objects take, each table id's small
// objects packed in chunks as the allocator packs them: an upper bound.
int check_room(const zim_shm_pool_image_t& im, const CheckedImage& checked, std::string* why) {
  uint64_t need = ZIM_SHM_POOL_HEADER_SIZE + kLine +
                  lines(sizeof(zim_shm_pool_config_t) +
                        im.npd_entry_count * sizeof(zim_shm_pool_config_entry_t)) +
                  rooms_bytes(im.feed_capacity, im.index_capacity);
  std::map<uint32_t, uint64_t> chunk_left;  // by table id
  std::set<uint64_t> pages;
  for (const auto& [id, layout] : checked.layouts) {
    need += kLine + lines(sizeof(zim_shm_pool_layout_record_t) + layout.text.size());
  }
  for (uint64_t i = 0; i < im.object_count; ++i) {
    const zim_shm_pool_image_object_t& o = im.objects[i];
    const uint64_t block = kLinedExtra + kLine + lines(o.size);
    if (o.table_id != ZIM_SHM_POOL_UNTYPED && pages.insert(o.table_id / kIdsPerPage).second) {
      need += kLine + sizeof(IdPage);
    }
    uint64_t& left = chunk_left[o.table_id];
    if (block > ZIM_SHM_POOL_CHUNK_SIZE) {
      need += block;
    } else if (left >= block) {
      left -= block;
    } else {
      need += ZIM_SHM_POOL_CHUNK_SIZE;
      left = ZIM_SHM_POOL_CHUNK_SIZE - block;
    }
  }
  const uint64_t room = start_map_offset(im.size);
  if (need <= room) return 0;
  *why = "its " + num(im.object_count) + " objects and records need " + num(need) +
         " bytes of a pool of " + num(im.size) + ", which holds " + num(room);
  return ENOSPC;
}

}  // namespace

int check_image(const zim_shm_pool_image_t& im, CheckedImage* checked, std::string* why) {
  if ((im.npd_entry_count != 0 && im.npd_entries == nullptr) ||
      (im.layout_count != 0 && im.layouts == nullptr) ||
      (im.object_count != 0 && im.objects == nullptr) ||
      (im.key_count != 0 && im.keys == nullptr)) {
    return invalid(why, "a count without its entries");
  }
  int err = check_pool_facts(im, why);
  if (err == 0) err = check_config(im, why);
  Config config{im.max_num_npus, im.default_npd_size, {}};
  for (uint64_t i = 0; err == 0 && i < im.npd_entry_count; ++i) {
    config.entries.push_back({im.npd_entries[i].table_id, im.npd_entries[i].size});
  }
  for (uint64_t i = 0; err == 0 && i < im.layout_count; ++i) {
    err = check_layout(im.layouts[i], config, checked, why);
  }
  for (uint64_t i = 0; err == 0 && i < im.object_count; ++i)
    err = check_object(im, i, checked, why);
  if (err == 0) err = check_keys(im, *checked, why);
  if (err == 0) err = check_room(im, *checked, why);
  if (err == 0 && im.pool_ids < ZIM_SHM_POOL_LOCAL_IDS && im.pool_ids > checked->last_pool_id) {
    checked->last_pool_id = im.pool_ids;
  }
  return err;
}

}  // namespace zim_sim
