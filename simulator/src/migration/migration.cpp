// SPDX-License-Identifier: Apache-2.0
// libzim_memory: converting the objects of the table ids whose recorded layout
// differs from this program's into objects of this program's layout, in the
// pool (zim_shm_pool_migrate), and retiring the objects of a table id
// (zim_shm_pool_retire).
//
// A migration is a sequence of transactions of the allocator's kind (I4 and
// I5 in segment/segment.hpp), each under the pool's lock with the undo record armed:
// beginning (the migration record and the new layout records), converting one
// object (its new block, the old one retired, the move), and switching a
// type's slot to its new layout. Nothing is written before every check has
// passed. A process killed at any point leaves the migration under way, and
// the next zim_shm_pool_migrate of a program with the same layouts completes
// it: the blocks still to convert are those of the migrating ids that the
// record calls old and that are still live.

#include "migration/migration.hpp"

#include <zim/sim/shm_pool.h>
#include <zim/tables/migration.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "attach/attach_gate.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "records/records.hpp"
#include "segment/segment.hpp"
#include "segment/upgrade_mark.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

namespace {

std::string id_text(uint32_t table_id) {
  char text[32];
  std::snprintf(text, sizeof text, " (table id %" PRIu32 ")", table_id);
  return text;
}

struct Retiring {
  uint32_t table_id;
  std::vector<std::pair<uint64_t, uint64_t>> blocks;  // offset and size of each live one
};

int find_live(const zim_shm_pool_piece_t* piece, void* context) {
  auto* r = static_cast<Retiring*>(context);
  if (piece->retired == 0 && piece->table_id == r->table_id) {
    r->blocks.emplace_back(piece->offset, piece->size);
  }
  return 0;
}

void report(const Migration& m) {
  for (const std::string& line : m.lines) {
    std::fprintf(stderr, "%s%s\n", m.prefix.c_str(), line.c_str());
  }
}

// What a completed migration left behind: the fields of removed types'
// definitions, whose values no object holds any longer.
void report_dropped(const Migration& m, const char* pool) {
  for (const TypeWork& w : m.types) {
    if (w.plan == nullptr) continue;
    const std::string_view dropped = zim_table_migration_dropped(w.plan.get());
    for (size_t at = 0; at < dropped.size();) {
      size_t eol = dropped.find('\n', at);
      if (eol == std::string_view::npos) eol = dropped.size();
      if (eol > at) {
        std::fprintf(stderr, "zim_memory: migrated pool %s: %s dropped its data %s\n",
                     printable(pool).c_str(), type_text(w.note->text, w.table_id).c_str(),
                     printable(dropped.substr(at, eol - at)).c_str());
      }
      at = eol + 1;
    }
  }
}

int fail(int err) {
  errno = err;
  return -1;
}

// Serialises this process's migrations and retirements.
std::mutex g_migrating;

}  // namespace

std::string offset_text(uint64_t offset) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, offset);
  return text;
}

// "type NAME (table id N)", NAME from a layout record's text.
std::string type_text(std::string_view record_text, uint32_t table_id) {
  return "type " + record_type_name(record_text) + id_text(table_id);
}

}  // namespace zim_sim

using zim_sim::PoolHeader;

extern "C" ZIM_SIM_API int zim_shm_pool_migrate(void (*moved)(uint64_t old_offset,
                                                              uint64_t new_offset,
                                                              uint32_t table_id, void* context),
                                                void* context) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return zim_sim::fail(ENOENT);
  const int fd = zim_sim::owned_pool_fd();
  if (fd < 0) return zim_sim::fail(EPERM);
  if (zim_sim::upgrade_forbids(hdr, "migrate", zim_shm_pool_name())) return zim_sim::fail(EBUSY);
  std::lock_guard<std::mutex> guard(zim_sim::g_migrating);
  const std::string prefix =
      "zim_memory: cannot migrate pool " + zim_sim::printable(zim_shm_pool_name()) + ": ";
  const zim_sim::Config own = zim_sim::this_process_config();  // may end the process: unlocked
  zim_sim::PoolNews news(hdr);  // claims the writer slot: before the pool's lock
  // A migration under way first, then one of this program's own.
  for (;;) {
    zim_sim::Migration m{prefix, zim_sim::program_layouts(), own, fd, {}, false, {}, {}, {}, &news};
    int err = 0;
    {
      zim_sim::PoolLock lock(hdr);
      err = zim_sim::prepare(hdr, &m);
      if (err == 0 && m.record.at == 0 && !m.types.empty()) zim_sim::begin_announced(hdr, &m);
    }
    if (err == 0 && !m.resumed && m.types.empty()) return zim_sim::open_attach_gate(hdr), 0;
    if (err == 0) err = zim_sim::convert_all(hdr, &m);
    if (err == 0) err = zim_sim::complete(hdr, &m, moved, context);
    if (err == 0) zim_sim::report_dropped(m, zim_shm_pool_name());
    zim_sim::report(m);
    if (err != 0) return zim_sim::fail(err);
    if (!m.resumed) return zim_sim::open_attach_gate(hdr), 0;
  }
}

extern "C" ZIM_SIM_API int zim_shm_pool_retire(uint32_t table_id) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return zim_sim::fail(ENOENT);
  const int fd = zim_sim::owned_pool_fd();
  if (fd < 0) return zim_sim::fail(EPERM);
  if (table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return zim_sim::fail(EINVAL);
  if (zim_sim::upgrade_forbids(hdr, "retire objects in", zim_shm_pool_name()))
    return zim_sim::fail(EBUSY);
  std::lock_guard<std::mutex> guard(zim_sim::g_migrating);
  std::vector<std::string> lines;
  zim_sim::Retiring r{table_id, {}};
  int err = 0;
  {
    zim_sim::PoolLock lock(hdr);
    if (hdr->migration.load(zim_sim::kRelaxed) != 0) {
      lines.push_back("a migration is under way: complete it first (zim_shm_pool_migrate)");
      err = EBUSY;
    } else {
      err = zim_sim::check_attachers(hdr, fd, &lines);
    }
    if (err == 0 && zim_shm_pool_walk_mapped(zim_sim::find_live, &r) != 0) {
      err = errno;
      lines.push_back(std::string("its blocks cannot be walked: ") + std::strerror(err));
    }
  }
  for (const std::string& line : lines) {
    std::fprintf(stderr, "zim_memory: cannot retire table id %" PRIu32 " in pool %s: %s\n",
                 table_id, zim_sim::printable(zim_shm_pool_name()).c_str(), line.c_str());
  }
  if (err != 0) return zim_sim::fail(err);
  zim_sim::IdSlot* slot = nullptr;
  zim_sim::ChangeAnnouncer announcer(hdr);
  zim_sim::PoolNews news(hdr);
  for (const auto& [offset, size] : r.blocks) {
    zim_sim::PoolLock lock(hdr);
    if (slot == nullptr) slot = zim_sim::id_slot(hdr, hdr->size, table_id);
    announcer.draw(reinterpret_cast<char*>(hdr) + offset);
    announcer.keep_retirement();
    const bool retired =
        slot != nullptr && zim_sim::retire_block(hdr, table_id, slot, offset, size);
    announcer.publish(zim_sim::FeedKind::retired, retired);
  }
  // The keys, then the record last: until the objects are retired, nobody may
  // make another layout's. Called again, it finds the keys a death left.
  zim_sim::PoolLock lock(hdr);
  zim_sim::unindex_retired(hdr, table_id, &news);
  if (slot == nullptr) slot = zim_sim::id_slot(hdr, hdr->size, table_id);
  if (slot != nullptr) zim_sim::switch_layout_announced(hdr, &news, table_id, slot, 0, 0);
  return 0;
}
