// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the read-only pass of an upgrade, under the pool's lock:
// where the upgrade stands, the blocks still without a line, how each is
// copied, whether the pool has room for the copies, the feed and the index,
// and whether another process maps the pool. It writes nothing.

#include <zim/tables/migration.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "alloc/alloc.hpp"
#include "platform/env.hpp"
#include "records/records.hpp"
#include "upgrade/upgrade.hpp"

namespace zim_sim {

namespace {

constexpr size_t kNamedObjects = 20;  // unsound objects named before the rest are counted

bool is_object(uint32_t table_id) {
  return table_id <= ZIM_SHM_POOL_MAX_TABLE_ID || table_id == ZIM_SHM_POOL_UNTYPED;
}

// Visits every live block of a table id or untyped block up to the carve
// point, as the migration's pass steps over headers, with the line in front of
// it (its data's offset) or 0.
template <typename Visit>
void walk_objects(const PoolHeader* hdr, Visit visit) {
  uint64_t line = 0, lined_at = 0;  // the last line's data, and its object's data
  for_each_carved_block(hdr, [&](uint64_t offset, uint64_t tag, uint64_t size) {
    const auto table_id = static_cast<uint32_t>(tag >> 32);
    const bool live = static_cast<uint32_t>(tag) == kBlockMagic;
    if (live && table_id == ZIM_SHM_POOL_VERSION_LINE && size == kLineBytes) {
      line = offset;
      lined_at = offset + kLineBytes + kLine;
    } else if (live && is_object(table_id)) {
      visit(offset, size, table_id, offset == lined_at ? line : 0);
    }
  });
}

// The plan that copies objects of table_id by their recorded layout into a
// block of their own; null (copied byte for byte) when the pool records no
// layout of the id. False after a line when the record cannot be planned.
bool plan_for(PoolHeader* hdr, const Config& made, uint32_t table_id, Upgrade* u) {
  if (table_id > ZIM_SHM_POOL_MAX_TABLE_ID || u->plans.count(table_id) != 0) return true;
  const IdSlot* slot = id_slot(hdr, hdr->size, table_id);
  const uint64_t at = slot != nullptr ? slot->layout.load(kRelaxed) : 0;
  std::string text;
  PlanPtr& plan =
      u->plans.emplace(table_id, PlanPtr{nullptr, zim_table_migration_free}).first->second;
  if (at == 0) return true;
  if (!read_layout_record(hdr, hdr->size, at, table_id, &text)) {
    u->lines.push_back("the layout record of table id " + std::to_string(table_id) + " at offset " +
                       offset_text(at) + " is damaged");
    return false;
  }
  char why[1024] = "";
  const uint32_t npd = npd_size(made, table_id);
  plan.reset(zim_table_migration_plan(text.data(), text.size(), text.data(), text.size(),
                                      made.max_num_npus, npd, npd, why, sizeof why));
  if (plan == nullptr) {
    u->lines.push_back(type_text(text, table_id) +
                       ": its layout cannot be read: " + printable(why, 400));
    return false;
  }
  return true;
}

// Collects the blocks without a line and checks each against its layout.
bool find_unlined(PoolHeader* hdr, const Config& made, Upgrade* u) {
  bool planned = true;
  size_t unsound = 0;
  const char* const base = reinterpret_cast<const char*>(hdr);
  walk_objects(hdr, [&](uint64_t offset, uint64_t size, uint32_t table_id, uint64_t line) {
    if (line != 0) return;
    if (!plan_for(hdr, made, table_id, u)) planned = false;
    const auto it = u->plans.find(table_id);
    const zim_table_migration_t* plan = it != u->plans.end() ? it->second.get() : nullptr;
    if (plan == nullptr || zim_table_migration_new_size(plan, base + offset, size) == size) {
      u->objects.push_back({offset, size, table_id});
    } else if (unsound++ < kNamedObjects) {
      u->lines.push_back("the object of table id " + std::to_string(table_id) + " at offset " +
                         offset_text(offset) + " (" + offset_text(size) +
                         " bytes) is not sound for its recorded layout");
    }
  });
  if (unsound > kNamedObjects) {
    u->lines.push_back("and " + std::to_string(unsound - kNamedObjects) +
                       " more objects not sound for their recorded layouts");
  }
  return planned && unsound == 0;
}

// Whether the pool holds a lined copy of every object and, unless carved
// already, the feed and the index; a line saying what it lacks otherwise.
bool fits(const PoolHeader* hdr, Upgrade* u, bool rooms) {
  uint64_t need = rooms ? rooms_bytes(u->feed_capacity, u->index_capacity) : 0;
  for (const Unlined& o : u->objects) need += kLinedExtra + kLine + lines(o.size);
  const uint64_t end = start_map_offset(hdr->size), carve = hdr->carve.load(kRelaxed);
  const uint64_t free = carve < end ? end - carve : 0;
  if (need <= free) return true;
  u->lines.push_back("it has " + std::to_string(free) + " bytes free and needs " +
                     std::to_string(need) + " for a lined copy of each of its " +
                     std::to_string(u->objects.size()) + " objects" +
                     (rooms ? " and the feed and index" : ""));
  return false;
}

}  // namespace

uint64_t rooms_bytes(uint64_t feed_capacity, uint64_t index_capacity) {
  return 2 * kLine + lines(feed_bytes(upgrade_ring_capacity(feed_capacity))) +
         lines(index_bytes(index_capacity));
}

bool rooms_carved(PoolHeader* hdr) {
  const VersionState& s = version_state(hdr);
  if (s.feed_capacity == 0 || s.feed_capacity > ZIM_SHM_POOL_MAX_FEED_CAPACITY ||
      s.index_capacity == 0 || s.index_capacity > ZIM_SHM_POOL_MAX_INDEX_CAPACITY) {
    return false;
  }
  bool retired = true;
  const BlockHeader* feed = block_of(hdr, s.feed, ZIM_SHM_POOL_FEED, &retired);
  if (feed == nullptr || retired ||
      feed->size.load(kRelaxed) != feed_bytes(upgrade_ring_capacity(s.feed_capacity))) {
    return false;
  }
  const BlockHeader* index = block_of(hdr, s.index, ZIM_SHM_POOL_INDEX, &retired);
  return index != nullptr && !retired &&
         index->size.load(kRelaxed) == index_bytes(s.index_capacity);
}

std::vector<Lined> lined_objects(const PoolHeader* hdr) {
  std::vector<Lined> found;
  const char* const base = reinterpret_cast<const char*>(hdr);
  walk_objects(hdr, [&](uint64_t offset, uint64_t size, uint32_t table_id, uint64_t line) {
    if (line == 0) return;
    const auto* words = reinterpret_cast<const VersionLine*>(base + line);
    found.push_back({line, offset, size, table_id, words->retired.load(std::memory_order_relaxed)});
  });
  return found;
}

int prepare_upgrade(PoolHeader* hdr, Upgrade* u) {
  if (hdr->migration.load(kRelaxed) != 0) {
    u->lines.push_back("a migration is under way: complete it first (zim_shm_pool_migrate)");
    return EBUSY;
  }
  u->stage = upgrade_stage(hdr);
  if (u->stage == UpgradeStage::kVersioned || u->stage == UpgradeStage::kReporting) return 0;
  const bool carved = rooms_carved(hdr);
  if (u->stage == UpgradeStage::kDamaged || (u->stage == UpgradeStage::kMoving && !carved)) {
    u->lines.push_back("its version state at offset 4096 is damaged");
    return EINVAL;
  }
  // An upgrade begun is finished with the capacities it carved.
  u->rooms_carved = carved;
  if (carved) {
    u->feed_capacity = version_state(hdr).feed_capacity;
    u->index_capacity = version_state(hdr).index_capacity;
  }
  Config made;
  if (!pool_config(hdr, hdr->size, &made)) {
    u->lines.push_back("its configuration record is damaged");
    return EINVAL;
  }
  if (!find_unlined(hdr, made, u)) return EPROTO;
  if (!fits(hdr, u, !carved)) return ENOSPC;
  return check_attachers(hdr, u->fd, &u->lines);
}

}  // namespace zim_sim
