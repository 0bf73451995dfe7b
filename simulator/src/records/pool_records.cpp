// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the pool's own records (the configuration, id pages, layout
// records) and the handshake of zim_shm_pool_attach, which holds them against
// this process. A pool's bytes are anyone's of its user to write: every
// offset and size read from them is checked before it is followed.

#include "records/pool_records.hpp"

#include <zim/sim/config.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/pool_records.hpp"
#include "platform/env.hpp"
#include "records/program_layouts.hpp"
#include "segment/segment.hpp"
#include "segment/upgrade_mark.hpp"

namespace zim_sim {

namespace {

constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;

}  // namespace

Config this_process_config() {
  Config c{hulcon_config_get_max_num_npus(), zim_sim_npd_default_size(), {}};
  c.entries.resize(zim_sim_npd_entries(nullptr, 0));
  c.entries.resize(zim_sim_npd_entries(c.entries.data(), c.entries.size()));
  return c;
}

namespace {

// The block at `offset` when it is one of `tag` of at least `min` bytes that
// ends before the carve point; its size in *size.
const unsigned char* record_at(const PoolHeader* hdr, uint64_t pool_size, uint64_t offset,
                               uint32_t tag, uint64_t min, uint64_t* size) {
  const uint64_t carve = hdr->carve.load(std::memory_order_acquire);
  const uint64_t end = carve < start_map_offset(pool_size) ? carve : start_map_offset(pool_size);
  if (offset < ZIM_SHM_POOL_HEADER_SIZE + kLine || offset % kLine != 0 || offset >= end) {
    return nullptr;
  }
  const BlockHeader& header = block_header_at(const_cast<PoolHeader*>(hdr), offset - kLine);
  *size = header.size.load(std::memory_order_relaxed);
  if (header.tag.load(std::memory_order_acquire) != block_tag(tag) || *size < min ||
      *size > end - offset) {
    return nullptr;
  }
  return reinterpret_cast<const unsigned char*>(hdr) + offset;
}

}  // namespace

bool pool_config(const PoolHeader* hdr, uint64_t pool_size, Config* c) {
  uint64_t size = 0;
  const unsigned char* p = record_at(hdr, pool_size, hdr->config.load(std::memory_order_relaxed),
                                     ZIM_SHM_POOL_CONFIG, sizeof(zim_shm_pool_config_t), &size);
  if (p == nullptr) return false;
  zim_shm_pool_config_t head;
  std::memcpy(&head, p, sizeof head);
  if (!zim_codec::config_entries_fit(head, size, nullptr)) return false;
  *c = {head.max_num_npus, head.default_npd_size, {}};
  c->entries.resize(head.entry_count);
  if (!c->entries.empty()) {  // memcpy takes no null pointer, even for no bytes
    std::memcpy(c->entries.data(), p + sizeof head, head.entry_count * sizeof(zim_sim_npd_entry_t));
  }
  for (size_t i = 0; i < c->entries.size(); ++i) {
    const std::optional<uint32_t> previous =
        i == 0 ? std::nullopt : std::optional<uint32_t>(c->entries[i - 1].table_id);
    if (!zim_codec::config_entry_in_order(i, c->entries[i].table_id, previous, nullptr)) {
      return false;
    }
  }
  return true;
}

uint32_t npd_size(const Config& c, uint32_t table_id) {
  for (const zim_sim_npd_entry_t& entry : c.entries) {
    if (entry.table_id == table_id) return entry.size;
  }
  return c.default_npd_size;
}

namespace {

// One line per difference between the pool's configuration and this process's.
void config_differences(const std::string& pool, const Config& made, const Config& mine,
                        std::vector<std::string>* lines) {
  char line[256];
  if (made.max_num_npus != mine.max_num_npus) {
    std::snprintf(line, sizeof line, "made for N %" PRIu32 "; this process has N %" PRIu32,
                  made.max_num_npus, mine.max_num_npus);
    lines->push_back(pool + line);
  }
  if (made.default_npd_size != mine.default_npd_size) {
    std::snprintf(line, sizeof line,
                  "made for NPD size %" PRIu32
                  " for every table id without an entry of its own "
                  "(ZIM_NPD_SIZE); this process has %" PRIu32,
                  made.default_npd_size, mine.default_npd_size);
    lines->push_back(pool + line);
  }
  // The two entry lists as functions of the table id: each id that either names.
  size_t i = 0, j = 0;
  while (i < made.entries.size() || j < mine.entries.size()) {
    const uint32_t a = i < made.entries.size() ? made.entries[i].table_id : UINT32_MAX;
    const uint32_t b = j < mine.entries.size() ? mine.entries[j].table_id : UINT32_MAX;
    const uint32_t id = a < b ? a : b;
    const uint32_t theirs = a == id ? made.entries[i++].size : made.default_npd_size;
    const uint32_t ours = b == id ? mine.entries[j++].size : mine.default_npd_size;
    if (theirs != ours) {
      std::snprintf(line, sizeof line,
                    "made for NPD size %" PRIu32 " for table id %" PRIu32
                    "; this process has %" PRIu32,
                    theirs, id, ours);
      lines->push_back(pool + line);
    }
  }
}

}  // namespace

bool write_config(PoolHeader* hdr, uint64_t pool_size) {
  const Config c = this_process_config();
  const uint64_t bytes = sizeof(zim_shm_pool_config_t) + c.entries.size() * sizeof c.entries[0];
  const uint64_t at = hdr->carve.load(std::memory_order_relaxed);  // of the block header
  const uint64_t need = kLine + (bytes + kLine - 1) / kLine * kLine;
  if (start_map_offset(pool_size) - at < need) return errno = ENOSPC, false;
  unsigned char* p = reinterpret_cast<unsigned char*>(hdr) + at + kLine;
  const zim_shm_pool_config_t head{c.max_num_npus, c.default_npd_size,
                                   static_cast<uint32_t>(c.entries.size()), 0};
  std::memcpy(p, &head, sizeof head);
  if (!c.entries.empty()) {
    std::memcpy(p + sizeof head, c.entries.data(), c.entries.size() * sizeof c.entries[0]);
  }
  BlockHeader& header = block_header_at(hdr, at);
  header.size.store(bytes, std::memory_order_relaxed);
  header.tag.store(block_tag(ZIM_SHM_POOL_CONFIG), std::memory_order_relaxed);
  std::atomic<uint64_t>& word = start_word(hdr, pool_size, at + kLine);
  word.store(word.load(std::memory_order_relaxed) | start_bit(at + kLine));
  hdr->config.store(at + kLine, std::memory_order_relaxed);
  hdr->carve.store(at + need, std::memory_order_relaxed);
  return true;
}

IdSlot* id_slot(PoolHeader* hdr, uint64_t pool_size, uint32_t table_id) {
  const uint64_t page = hdr->pages[table_id / kIdsPerPage].load(std::memory_order_acquire);
  uint64_t size = 0;
  auto* p = const_cast<unsigned char*>(
      record_at(hdr, pool_size, page, ZIM_SHM_POOL_ID_PAGE, sizeof(IdPage), &size));
  return p == nullptr ? nullptr : &reinterpret_cast<IdPage*>(p)->slots[table_id % kIdsPerPage];
}

bool read_layout_record(const PoolHeader* hdr, uint64_t pool_size, uint64_t offset,
                        uint32_t table_id, std::string* text, uint64_t* fingerprint) {
  uint64_t size = 0;
  const unsigned char* p = record_at(hdr, pool_size, offset, ZIM_SHM_POOL_LAYOUT,
                                     sizeof(zim_shm_pool_layout_record_t), &size);
  if (p == nullptr) return false;
  zim_shm_pool_layout_record_t head;
  std::memcpy(&head, p, sizeof head);
  if (head.table_id != table_id || !zim_codec::layout_text_fits(head, size, nullptr)) return false;
  text->assign(reinterpret_cast<const char*>(p) + sizeof head, head.text_size);
  if (fingerprint != nullptr) *fingerprint = head.fingerprint;
  return true;
}

std::string layout_refusal(uint32_t table_id, const NoteLayout& note, std::string_view recorded) {
  char id[48];
  std::snprintf(id, sizeof id, " (table id %" PRIu32 ")", table_id);
  return "type " + record_type_name(note.text) + id +
         " of another layout: " + layout_difference(recorded, note.text);
}

namespace {

// Records of another layout, compared once the lock is released (reading two
// records is the generator's work, and every allocation waits for the lock),
// each into the line kept for it.
struct OtherLayout {
  size_t line;
  uint32_t table_id;
  std::string recorded;
};

// With the pool locked: the lines of the notes of two layouts, and a line
// kept for each id whose record is of another layout.
void find_other_layouts(PoolHeader* hdr, uint64_t pool_size, const ProgramLayouts& layouts,
                        std::vector<std::string>* lines, std::vector<OtherLayout>* other_layouts) {
  // Only the ids this program knows: the others are no reason to refuse.
  std::vector<uint32_t> ids;  // in order, for the messages
  for (const auto& entry : layouts.by_id) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  for (const uint32_t id : ids) {
    const NoteLayout& note = layouts.by_id.at(id);
    if (!note.conflict.empty()) lines->push_back("zim_memory: " + note.conflict);
    const IdSlot* slot = id_slot(hdr, pool_size, id);
    if (slot == nullptr) continue;
    const uint64_t at = slot->layout.load(std::memory_order_acquire);
    if (at == 0 || slot->fingerprint.load(std::memory_order_relaxed) == note.fingerprint) continue;
    std::string recorded;
    if (!read_layout_record(hdr, pool_size, at, id, &recorded)) recorded.clear();
    other_layouts->push_back({lines->size(), id, std::move(recorded)});
    lines->emplace_back();
  }
}

}  // namespace

int handshake(PoolHeader* hdr, uint64_t pool_size, const char* name, Handshake kind,
              const std::function<int()>& admitted) {
  const std::string pool = "zim_memory: pool " + printable(name) + " ";
  std::vector<std::string> lines;
  const bool layouts_too = kind == Handshake::kAttach;
  const std::shared_ptr<const ProgramLayouts> layouts = layouts_too ? program_layouts() : nullptr;
  const Config mine = this_process_config();  // may end the process: not under the lock
  std::vector<OtherLayout> other_layouts;
  {
    PoolLock lock(hdr);
    // Its owner converts the objects now: an attacher would meet both layouts.
    if (layouts_too && hdr->migration.load(std::memory_order_acquire) != 0) {
      std::fprintf(stderr,
                   "%sis being migrated: its objects are being converted to their types' new "
                   "layouts; attach again when the migration completes\n",
                   pool.c_str());
      return EBUSY;
    }
    if (layouts_too && upgrade_under_way(hdr)) {
      std::fprintf(stderr,
                   "%sis being upgraded to a versioned pool: its objects are moving; attach "
                   "again when the upgrade completes\n",
                   pool.c_str());
      return EBUSY;
    }
    Config made;
    if (!pool_config(hdr, pool_size, &made)) {
      std::fprintf(stderr, "%shas a damaged configuration record\n", pool.c_str());
      return EINVAL;
    }
    config_differences(pool, made, mine, &lines);
    if (!layouts_too) {
      for (std::string& line : lines) line += " (not migrated)";
    }
    if (layouts_too) find_other_layouts(hdr, pool_size, *layouts, &lines, &other_layouts);
    if (lines.empty()) return admitted();
  }
  for (const OtherLayout& o : other_layouts) {
    lines[o.line] = pool + "holds objects of " +
                    layout_refusal(o.table_id, layouts->by_id.at(o.table_id), o.recorded);
  }
  for (const std::string& line : lines) std::fprintf(stderr, "%s\n", line.c_str());
  return EPROTO;
}

}  // namespace zim_sim
