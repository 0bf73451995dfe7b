// SPDX-License-Identifier: Apache-2.0
// libzim_memory: converting the objects of the table ids whose recorded layout
// differs from this program's into objects of this program's layout, in the
// pool (zim_shm_pool_migrate), and retiring the objects of a table id
// (zim_shm_pool_retire).
//
// A migration is a sequence of transactions of the allocator's kind (I4 and
// I5 in pool.hpp), each under the pool's lock with the undo record armed:
// beginning (the migration record and the new layout records), converting one
// object (its new block, the old one retired, the move), and switching a
// type's slot to its new layout. Nothing is written before every check has
// passed. A process killed at any point leaves the migration under way, and
// the next zim_shm_pool_migrate of a program with the same layouts completes
// it: the blocks still to convert are those of the migrating ids that the
// record calls old and that are still live.

#include "migration.hpp"

#include <zim/sim/shm_pool.h>
#include <zim/tables/migration.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "attach_locks.hpp"
#include "env.hpp"
#include "pool.hpp"
#include "pool_alloc.hpp"
#include "pool_records.hpp"
#include "program_layouts.hpp"

namespace zim_sim {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;  // under the pool's lock
using Head = zim_shm_pool_migration_t;
using TypeEntry = zim_shm_pool_migration_type_t;
using Move = zim_shm_pool_move_t;
static_assert(sizeof(Head) == 32 && sizeof(TypeEntry) == 48 && sizeof(Move) == 24,
              "the record's words stay 8-byte aligned");
static_assert(offsetof(Head, move_count) == 24, "the move count is one word");

// Unsound objects named one by one before the rest are counted.
constexpr size_t kNamedObjects = 20;

// Conversions under one holding of the pool's lock: short enough a wait for
// other allocators.
constexpr size_t kConversionsPerLock = 64;

std::atomic<uint64_t>& word_at(const PoolHeader* hdr, uint64_t at) {
  return *reinterpret_cast<std::atomic<uint64_t>*>(
      reinterpret_cast<char*>(const_cast<PoolHeader*>(hdr)) + at);
}

// Two 32-bit fields that share a word, as the record lays them out.
uint64_t pair_word(uint32_t first, uint32_t second) {
  const uint32_t halves[2] = {first, second};
  uint64_t word;
  std::memcpy(&word, halves, sizeof word);
  return word;
}

constexpr uint64_t retired_tag(uint32_t table_id) {
  return kRetiredMagic | uint64_t{table_id} << 32;
}

// The end of what the pool has carved, never past its start map.
uint64_t carved_end(const PoolHeader* hdr) {
  const uint64_t carve = hdr->carve.load(kRelaxed);
  const uint64_t map = start_map_offset(hdr->size);
  return carve < map ? carve : map;
}

// The header of a block of table_id (or record tag), live or retired, that
// starts at `at` and ends before the carve point; null for none.
BlockHeader* block_of(const PoolHeader* hdr, uint64_t at, uint32_t table_id, bool* retired) {
  const uint64_t end = carved_end(hdr);
  if (at < ZIM_SHM_POOL_HEADER_SIZE + kLine || at % kLine != 0 || at >= end) return nullptr;
  BlockHeader& header = block_header_at(const_cast<PoolHeader*>(hdr), at - kLine);
  const uint64_t tag = header.tag.load(std::memory_order_acquire);
  const uint64_t size = header.size.load(kRelaxed);
  if (tag >> 32 != table_id || size == 0 || size > end - at) return nullptr;
  *retired = static_cast<uint32_t>(tag) == kRetiredMagic;
  return *retired || static_cast<uint32_t>(tag) == kBlockMagic ? &header : nullptr;
}

// The migration record that PoolHeader::migration names, as read and checked.
struct Record {
  uint64_t at = 0;  // its first byte; 0: no migration under way
  uint32_t state = 0;
  uint64_t carve = 0, move_capacity = 0;
  std::vector<TypeEntry> types;
  uint64_t moves = 0;  // the first move's offset
  uint64_t count_at() const { return at + offsetof(Head, move_count); }
  uint64_t move_at(uint64_t i) const { return moves + i * sizeof(Move); }
};

// Reads the record at `at`; false when no sound migration record lies there.
bool read_record(const PoolHeader* hdr, uint64_t at, Record* r) {
  bool retired = false;
  const BlockHeader* header = block_of(hdr, at, ZIM_SHM_POOL_MIGRATION, &retired);
  if (header == nullptr) return false;
  const uint64_t size = header->size.load(kRelaxed);
  Head head;
  if (size < sizeof head) return false;
  std::memcpy(&head, reinterpret_cast<const char*>(hdr) + at, sizeof head);
  uint64_t room = size - sizeof head;
  if ((head.state != ZIM_SHM_POOL_MIGRATING && head.state != ZIM_SHM_POOL_MIGRATED) ||
      (retired && head.state != ZIM_SHM_POOL_MIGRATED) ||
      head.type_count > room / sizeof(TypeEntry)) {
    return false;
  }
  room -= head.type_count * sizeof(TypeEntry);
  const uint64_t count = word_at(hdr, at + offsetof(Head, move_count)).load(kRelaxed);
  if (head.move_capacity > room / sizeof(Move) || count > head.move_capacity) return false;
  *r = {at, head.state, head.carve, head.move_capacity, {}};
  r->types.resize(head.type_count);
  r->moves = at + sizeof head + head.type_count * sizeof(TypeEntry);
  if (head.type_count != 0) {
    std::memcpy(r->types.data(), reinterpret_cast<const char*>(hdr) + at + sizeof head,
                head.type_count * sizeof(TypeEntry));
  }
  for (const TypeEntry& t : r->types) {
    if (t.table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return false;
  }
  return true;
}

Move move_of(const PoolHeader* hdr, const Record& r, uint64_t i) {
  const uint64_t at = r.move_at(i);
  const uint64_t words[3] = {word_at(hdr, at).load(kRelaxed), word_at(hdr, at + 8).load(kRelaxed),
                             word_at(hdr, at + 16).load(kRelaxed)};
  Move move;
  std::memcpy(&move, words, sizeof move);
  return move;
}

using PlanPtr = std::unique_ptr<zim_table_migration_t, void (*)(zim_table_migration_t*)>;

// One table id whose objects the migration converts.
struct TypeWork {
  uint32_t table_id;
  const NoteLayout* note;  // this program's layout of it
  IdSlot* slot;
  uint64_t old_fingerprint;
  std::string old_text;     // its recorded layout, while objects of it are left
  uint64_t new_layout = 0;  // the record's offset, once the migration began
  uint64_t cursor, limit;   // its chunk when the migration began
  PlanPtr plan{nullptr, zim_table_migration_free};
};

// One object to convert, in address order.
struct OldBlock {
  uint64_t offset, size, new_size;
  size_t type;  // in Migration::types
};

struct Migration {
  std::string prefix;  // of every message
  std::shared_ptr<const ProgramLayouts> layouts;
  Config own;
  int fd;         // the segment's, for the attachers' locks
  Record record;  // at == 0: none under way before this call
  bool resumed = false;
  std::vector<TypeWork> types;
  std::vector<OldBlock> olds;
  std::vector<std::string> lines;  // why it is refused or stopped
};

std::string id_text(uint32_t table_id) {
  char text[32];
  std::snprintf(text, sizeof text, " (table id %" PRIu32 ")", table_id);
  return text;
}

std::string offset_text(uint64_t offset) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, offset);
  return text;
}

// "type NAME (table id N)", NAME from a layout record's text.
std::string type_text(std::string_view record_text, uint32_t table_id) {
  return "type " + record_type_name(record_text) + id_text(table_id);
}

// The ids whose records differ from this program's notes, and the refusals
// of the ids that cannot be migrated: a note of two layouts, a record that
// cannot be read, a type gone from the program that still has objects.
void find_changed(PoolHeader* hdr, Migration* m) {
  const uint64_t size = hdr->size;
  std::vector<uint32_t> ids;
  for (const auto& entry : m->layouts->by_id) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  for (const uint32_t id : ids) {
    const NoteLayout& note = m->layouts->by_id.at(id);
    IdSlot* slot = id_slot(hdr, size, id);
    const uint64_t at = slot != nullptr ? slot->layout.load(kRelaxed) : 0;
    const uint64_t fingerprint = at != 0 ? slot->fingerprint.load(kRelaxed) : 0;
    if (at == 0 || !note.conflict.empty()) {
      if (at != 0 && fingerprint != note.fingerprint) m->lines.push_back(note.conflict);
      continue;
    }
    TypeWork w{id, &note, slot, fingerprint, {}, 0, 0, 0};
    if (!read_layout_record(hdr, size, at, id, &w.old_text)) {
      m->lines.push_back(type_text(note.text, id) + ": its layout record at offset " +
                         offset_text(at) + " is damaged");
      continue;
    }
    if (fingerprint == note.fingerprint) {
      // The same objects, but the record takes this program's field names
      // (and trace ids): the next version pairs fields by them.
      if (w.old_text == note.text) continue;
      w.old_text.clear();  // nothing to convert
    }
    m->types.push_back(std::move(w));
  }
  for (uint32_t page = 0; page < kPages; ++page) {
    if (hdr->pages[page].load(kRelaxed) == 0) continue;
    for (uint32_t id = page * kIdsPerPage; id < (page + 1) * kIdsPerPage; ++id) {
      const IdSlot* slot = id_slot(hdr, size, id);
      if (slot == nullptr) break;  // a damaged page: the allocator does not use it either
      const uint64_t at = slot->layout.load(kRelaxed);
      const uint64_t objects = slot->region.blocks.load(kRelaxed);
      if (at == 0 || objects == 0 || m->layouts->by_id.count(id) != 0) continue;
      std::string text;
      if (!read_layout_record(hdr, size, at, id, &text)) text.clear();
      m->lines.push_back(type_text(text, id) + " is gone from this program, but the pool holds " +
                         std::to_string(objects) +
                         " objects of it: retire them first (zim_shm_pool_retire)");
    }
  }
}

// The types of the migration under way, which this program must carry in
// the layouts they are converted to: 0, or after the lines saying why not,
// EPROTO (another program's layouts) or EINVAL (a damaged record).
int resume_types(PoolHeader* hdr, Migration* m) {
  const uint64_t size = hdr->size;
  const Record& r = m->record;
  bool same_program = true;
  for (const TypeEntry& t : r.types) {
    std::string text;
    uint64_t fingerprint = 0;
    IdSlot* slot = id_slot(hdr, size, t.table_id);
    if (slot == nullptr ||
        !read_layout_record(hdr, size, t.new_layout, t.table_id, &text, &fingerprint) ||
        fingerprint != t.new_fingerprint) {
      m->lines.push_back("its migration record at offset " + offset_text(r.at) + " is damaged");
      return EINVAL;
    }
    const auto it = m->layouts->by_id.find(t.table_id);
    if (it == m->layouts->by_id.end() || it->second.fingerprint != t.new_fingerprint ||
        !it->second.conflict.empty()) {
      m->lines.push_back(
          "a migration that another program began is under way: it converts the objects of " +
          type_text(text, t.table_id) +
          " to a layout this program does not carry; only a program with that program's "
          "layouts can complete it");
      same_program = false;
      continue;
    }
    TypeWork w{t.table_id, &it->second,  slot,     t.old_fingerprint,
               {},         t.new_layout, t.cursor, t.limit};
    // Switched to the new layout only once every object was converted; a
    // type that only took new names has none to convert.
    const uint64_t at = slot->layout.load(kRelaxed);
    if (r.state == ZIM_SHM_POOL_MIGRATING && at != t.new_layout &&
        t.old_fingerprint != t.new_fingerprint &&
        (!read_layout_record(hdr, size, at, t.table_id, &w.old_text, &fingerprint) ||
         fingerprint != t.old_fingerprint)) {
      m->lines.push_back(type_text(text, t.table_id) + ": its old layout record at offset " +
                         offset_text(at) + " is damaged");
      return EINVAL;
    }
    m->types.push_back(std::move(w));
  }
  return same_program ? 0 : EPROTO;
}

// Plans each type that still has objects of its old layout, made for the
// pool's configuration `made`; false after a line for each change that a
// migration cannot carry.
bool make_plans(const Config& made, Migration* m) {
  bool planned = true;
  for (TypeWork& w : m->types) {
    if (w.old_text.empty()) continue;
    char why[4096] = "";
    w.plan.reset(zim_table_migration_plan(w.old_text.data(), w.old_text.size(), w.note->text.data(),
                                          w.note->text.size(), made.max_num_npus,
                                          npd_size(made, w.table_id), npd_size(m->own, w.table_id),
                                          why, sizeof why));
    if (w.plan != nullptr) continue;
    planned = false;
    const std::string_view text(why);
    size_t lines = 0;
    for (size_t at = 0; at < text.size();) {
      size_t eol = text.find('\n', at);
      if (eol == std::string_view::npos) eol = text.size();
      if (eol > at) m->lines.push_back(printable(text.substr(at, eol - at), 400)), ++lines;
      at = eol + 1;
    }
    if (lines == 0) {
      m->lines.push_back(type_text(w.note->text, w.table_id) + ": its layouts cannot be read");
    }
  }
  return planned;
}

// Collects the live old objects of the types to convert and sizes what each
// becomes; an object that is not sound for its layout is a refusal. The walk
// steps from block header to block header up to the carve point, as
// zim_shm_pool_walk_mapped does, but reads nothing else of a block it skips.
bool find_old_blocks(const PoolHeader* hdr, Migration* m) {
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> by_id;  // index in m->types of each id to convert, by table id
  uint64_t live = 0;  // a bound on the old objects, which a block header and a line each take
  for (size_t i = 0; i < m->types.size(); ++i) {
    const TypeWork& w = m->types[i];
    if (w.plan == nullptr) continue;
    if (w.table_id >= by_id.size()) by_id.resize(w.table_id + size_t{1}, kNone);
    by_id[w.table_id] = static_cast<uint32_t>(i);
    live += w.slot->region.blocks.load(kRelaxed);
  }
  if (by_id.empty()) return true;
  m->olds.reserve(std::min(live, hdr->size / (2 * kLine)));
  const char* const base = reinterpret_cast<const char*>(hdr);
  // On lines, as the carve point is in a sound pool: a block that fits
  // before it ends on one too.
  const uint64_t end = carved_end(hdr) & ~(kLine - 1);
  size_t unsound = 0;
  for (uint64_t pos = ZIM_SHM_POOL_HEADER_SIZE; pos < end;) {
    const BlockHeader& header = *reinterpret_cast<const BlockHeader*>(base + pos);
    const uint64_t tag = header.tag.load(std::memory_order_acquire);
    const uint64_t size = header.size.load(kRelaxed);
    if (!names_block(tag, size, end - pos - kLine)) {
      pos += kLine;
      continue;
    }
    const uint64_t offset = pos + kLine;
    pos = offset + lines(size);
    const uint64_t table_id = tag >> 32;
    if (static_cast<uint32_t>(tag) != kBlockMagic || table_id >= by_id.size() ||
        by_id[table_id] == kNone) {
      continue;
    }
    const size_t type = by_id[table_id];
    const TypeWork& w = m->types[type];
    // Blocks carved since the migration began, conversions among them, are new.
    if (m->record.at != 0 &&
        (offset >= m->record.carve || (offset - kLine >= w.cursor && offset - kLine < w.limit))) {
      continue;
    }
    const uint64_t new_size = zim_table_migration_new_size(w.plan.get(), base + offset, size);
    if (new_size != 0) {
      m->olds.push_back({offset, size, new_size, type});
    } else if (unsound++ < kNamedObjects) {
      m->lines.push_back(type_text(w.note->text, w.table_id) + ": the object at offset " +
                         offset_text(offset) + " (" + offset_text(size) +
                         " bytes) is not sound for its recorded layout");
    }
  }
  if (unsound > kNamedObjects) {
    m->lines.push_back("and " + std::to_string(unsound - kNamedObjects) +
                       " more objects not sound for their recorded layouts");
  }
  return unsound == 0;
}

uint64_t layout_record_bytes(const TypeWork& w) {
  return sizeof(zim_shm_pool_layout_record_t) + w.note->text.size();
}

uint64_t record_bytes(const Migration& m) {
  return sizeof(Head) + m.types.size() * sizeof(TypeEntry) + m.olds.size() * sizeof(Move);
}

// Whether the pool holds the new objects (and, beginning, the migration's
// records) in the places the conversions will carve them.
bool fits(const PoolHeader* hdr, const Migration& m) {
  const uint64_t end = start_map_offset(hdr->size);
  uint64_t carve = hdr->carve.load(kRelaxed);
  if (carve > end) return false;
  const auto take = [&](uint64_t bytes) {
    const bool room = end - carve >= kLine + lines(bytes);
    carve += room ? kLine + lines(bytes) : 0;
    return room;
  };
  if (m.record.at == 0) {
    if (!take(record_bytes(m))) return false;
    for (const TypeWork& w : m.types) {
      if (!take(layout_record_bytes(w))) return false;
    }
  }
  std::vector<std::pair<uint64_t, uint64_t>> chunks;  // cursor and limit of each type
  for (const TypeWork& w : m.types) {
    chunks.emplace_back(w.slot->region.cursor.load(kRelaxed), w.slot->region.limit.load(kRelaxed));
  }
  for (const OldBlock& o : m.olds) {
    Plan p;
    auto& [cursor, limit] = chunks[o.type];
    if (!plan(carve, end, cursor, limit, false, 0, kLine + lines(o.new_size), &p)) return false;
    carve = p.carve;
    cursor = p.cursor;
    limit = p.limit;
  }
  return true;
}

// Refuses while any other process maps the pool (fd: the pool's segment): it
// may hold objects that move. One that attached after the adoption passed the
// handshake against the old layouts, so it is on them as much as an earlier one.
int check_attachers(const PoolHeader* hdr, int fd, std::vector<std::string>* lines) {
  const uint32_t epoch = hdr->epoch.load(kRelaxed);
  const std::vector<pid_t> pids = attached_before(fd, epoch + 1);
  if (pids.empty() && errno != 0) {
    const int err = errno;
    lines->push_back(std::string("cannot tell which processes map it: ") + std::strerror(err));
    return err;
  }
  const std::vector<pid_t> earlier = attached_before(fd, epoch);
  for (const pid_t pid : pids) {
    const bool before = std::binary_search(earlier.begin(), earlier.end(), pid);
    lines->push_back("process " + std::to_string(pid) +
                     (before ? " attached before this process adopted the pool"
                             : " attached on the pool's old layouts") +
                     " and still maps it; its objects would move under it: detach or end it "
                     "first");
  }
  return pids.empty() ? 0 : EBUSY;
}

// Everything that may refuse the migration, before any write, with the pool
// locked: 0, or an errno after m->lines say why.
int prepare(PoolHeader* hdr, Migration* m) {
  if (const uint64_t at = hdr->migration.load(kRelaxed)) {
    if (!read_record(hdr, at, &m->record)) {
      m->lines.push_back("its migration record at offset " + offset_text(at) + " is damaged");
      return EINVAL;
    }
    m->resumed = true;
    if (const int err = resume_types(hdr, m)) return err;
  } else {
    find_changed(hdr, m);
    if (m->types.empty()) return m->lines.empty() ? 0 : EPROTO;
  }
  Config made;
  if (!pool_config(hdr, hdr->size, &made)) {
    m->lines.push_back("its configuration record is damaged");
    return EINVAL;
  }
  // Every refusal is reported: the objects of each type that has a plan are sized.
  const bool planned = make_plans(made, m);
  if (!find_old_blocks(hdr, m) || !planned || !m->lines.empty()) return EPROTO;
  const Record& r = m->record;
  if (r.at != 0) {
    const uint64_t done = word_at(hdr, r.count_at()).load(kRelaxed);
    if (m->olds.size() > r.move_capacity - done) {
      m->lines.push_back("its migration record at offset " + offset_text(r.at) +
                         " has no room for the moves left to make: it is damaged");
      return EINVAL;
    }
  }
  if (!fits(hdr, *m)) {
    uint64_t bytes = 0;
    for (const OldBlock& o : m->olds) bytes += kLine + lines(o.new_size);
    m->lines.push_back("it cannot hold the " + std::to_string(m->olds.size()) +
                       " converted objects (" + std::to_string(bytes) +
                       " bytes with their headers) and the migration's records beside what it "
                       "holds");
    return ENOSPC;
  }
  // Objects that stay where they are may be read meanwhile.
  return m->olds.empty() ? 0 : check_attachers(hdr, m->fd, &m->lines);
}

// Carves the migration record and the types' new layout records and sets
// PoolHeader::migration: one transaction.
void begin(PoolHeader* hdr, Migration* m) {
  const uint64_t carve = hdr->carve.load(kRelaxed);
  const uint64_t bytes = record_bytes(*m);
  const uint64_t at = carve + kLine;
  uint64_t end = at + lines(bytes);
  std::vector<uint64_t> layouts;  // each type's new record's header
  for (const TypeWork& w : m->types) {
    layouts.push_back(end);
    end += kLine + lines(layout_record_bytes(w));
  }
  Undo undo;
  undo.span_end = end;
  arm(hdr, 0, undo);

  Record& r = m->record;
  r = {at, ZIM_SHM_POOL_MIGRATING, carve, m->olds.size(), {}};
  for (size_t i = 0; i < m->types.size(); ++i) {
    TypeWork& w = m->types[i];
    w.new_layout = layouts[i] + kLine;
    w.cursor = w.slot->region.cursor.load(kRelaxed);
    w.limit = w.slot->region.limit.load(kRelaxed);
    r.types.push_back(
        {w.table_id, 0, w.old_fingerprint, w.note->fingerprint, w.new_layout, w.cursor, w.limit});
  }
  r.moves = at + sizeof(Head) + r.types.size() * sizeof(TypeEntry);
  const Head head{ZIM_SHM_POOL_MIGRATING, static_cast<uint32_t>(r.types.size()), carve,
                  r.move_capacity, 0};
  std::vector<char> content(sizeof head + r.types.size() * sizeof(TypeEntry));
  std::memcpy(content.data(), &head, sizeof head);
  if (!r.types.empty()) {
    std::memcpy(content.data() + sizeof head, r.types.data(), r.types.size() * sizeof(TypeEntry));
  }
  // The moves' room is zero: carved from the carve point (I3).
  fill(reinterpret_cast<char*>(hdr) + at, content.data(), content.size());
  put_header(hdr, carve, bytes, ZIM_SHM_POOL_MIGRATION);
  for (size_t i = 0; i < m->types.size(); ++i) {
    const TypeWork& w = m->types[i];
    const zim_shm_pool_layout_record_t head_of{
        w.table_id, static_cast<uint32_t>(w.note->text.size()), w.note->fingerprint};
    content.resize(layout_record_bytes(w));
    std::memcpy(content.data(), &head_of, sizeof head_of);
    std::memcpy(content.data() + sizeof head_of, w.note->text.data(), w.note->text.size());
    fill(reinterpret_cast<char*>(hdr) + w.new_layout, content.data(), content.size());
    put_header(hdr, layouts[i], content.size(), ZIM_SHM_POOL_LAYOUT);
  }
  put(hdr->carve, end);
  put(hdr->migration, at);
  put(hdr->undo.armed, 0);
}

// Converts one old object into a new block: one transaction. 0, or an errno
// after a line in m->lines.
int convert_one(PoolHeader* hdr, Migration* m, const OldBlock& o) {
  const TypeWork& w = m->types[o.type];
  const Record& r = m->record;
  bool retired = false;
  BlockHeader* old = block_of(hdr, o.offset, w.table_id, &retired);
  if (old != nullptr && retired) return 0;
  const void* from = reinterpret_cast<const char*>(hdr) + o.offset;
  // Sized by the read-only pass; the conversion refuses an object that changed since.
  const uint64_t new_size = o.new_size;
  if (old == nullptr || old->size.load(kRelaxed) != o.size) {
    m->lines.push_back(type_text(w.note->text, w.table_id) + ": the object at offset " +
                       offset_text(o.offset) + " changed while it was being migrated");
    return EPROTO;
  }
  TableRegion& region = w.slot->region;
  Plan p;
  if (!plan(hdr->carve.load(kRelaxed), start_map_offset(hdr->size), region.cursor.load(kRelaxed),
            region.limit.load(kRelaxed), false, 0, kLine + lines(new_size), &p)) {
    m->lines.push_back("it has no room left for the object converted from offset " +
                       offset_text(o.offset) + ": objects made since the migration began took it");
    return ENOSPC;
  }
  std::atomic<uint64_t>& count = word_at(hdr, r.count_at());
  const uint64_t moves = count.load(kRelaxed);
  if (moves >= r.move_capacity) {
    m->lines.push_back("its migration record at offset " + offset_text(r.at) + " is full");
    return EINVAL;
  }
  Undo undo;
  undo.block_header = p.block;
  undo.block_bytes = lines(new_size);
  undo.retired_header = o.offset - kLine;
  undo.move_count_at = r.count_at();
  undo.move_count = moves;
  const uint64_t bytes = region.bytes.load(kRelaxed);
  arm(hdr, offset_in(hdr, &region), undo);
  put_header(hdr, p.block, new_size, w.table_id);
  if (zim_table_migration_convert(w.plan.get(), from, o.size,
                                  reinterpret_cast<char*>(hdr) + p.block + kLine, new_size) != 0) {
    undo_transaction(hdr);
    m->lines.push_back(type_text(w.note->text, w.table_id) + ": the object at offset " +
                       offset_text(o.offset) + " changed while it was being migrated");
    return EPROTO;
  }
  ZIM_POOL_KILL_POINT();
  put_changed(hdr->carve, p.carve);
  put_changed(region.limit, p.limit);
  put_changed(region.cursor, p.cursor);
  put(region.bytes, (bytes > lines(o.size) ? bytes - lines(o.size) : 0) + lines(new_size));
  put(old->tag, retired_tag(w.table_id));
  const uint64_t move = r.move_at(moves);
  put(word_at(hdr, move), o.offset);
  put(word_at(hdr, move + 8), p.block + kLine);
  put(word_at(hdr, move + 16), pair_word(w.table_id, 0));
  put(count, moves + 1);
  put(hdr->undo.armed, 0);
  return 0;
}

// Gives a slot another layout record (fingerprint and layout, 0 and 0 to
// forget it) and retires its old record: one transaction.
void switch_layout(PoolHeader* hdr, IdSlot* slot, uint64_t fingerprint, uint64_t layout) {
  const uint64_t old_layout = slot->layout.load(kRelaxed);
  if (slot->fingerprint.load(kRelaxed) == fingerprint && old_layout == layout) return;
  bool retired = false;
  BlockHeader* record = block_of(hdr, old_layout, ZIM_SHM_POOL_LAYOUT, &retired);
  Undo undo;
  undo.slot_layout = true;
  if (record != nullptr && !retired && old_layout != layout)
    undo.retired_header = old_layout - kLine;
  arm(hdr, offset_in(hdr, &slot->region), undo);
  if (undo.retired_header != 0) put(record->tag, retired_tag(ZIM_SHM_POOL_LAYOUT));
  put(slot->fingerprint, fingerprint);
  put(slot->layout, layout);
  put(hdr->undo.armed, 0);
}

// Once every object is converted: the slots take the new layouts, the root
// slot follows its object, the state becomes MIGRATED; the moves are reported;
// the record is retired and PoolHeader::migration cleared.
int complete(PoolHeader* hdr, Migration* m, void (*moved)(uint64_t, uint64_t, uint32_t, void*),
             void* context) {
  Record r;
  uint64_t moves = 0;
  {
    PoolLock lock(hdr);
    if (hdr->migration.load(kRelaxed) != m->record.at || !read_record(hdr, m->record.at, &r)) {
      m->lines.push_back("its migration record at offset " + offset_text(m->record.at) +
                         " changed under the migration");
      return EINVAL;
    }
    moves = word_at(hdr, r.count_at()).load(kRelaxed);
    if (r.state == ZIM_SHM_POOL_MIGRATING) {
      for (const TypeWork& w : m->types) {
        switch_layout(hdr, w.slot, w.note->fingerprint, w.new_layout);
      }
      const uint64_t root = hdr->root.load(kRelaxed);
      for (uint64_t i = 0; root != 0 && i < moves; ++i) {
        const Move move = move_of(hdr, r, i);
        if (move.old_offset == root) {
          put(hdr->root, move.new_offset);
          break;
        }
      }
      put(word_at(hdr, r.at),
          pair_word(ZIM_SHM_POOL_MIGRATED, static_cast<uint32_t>(r.types.size())));
    }
  }
  // Only this process writes the record now: its moves are read unlocked,
  // and `moved` may allocate.
  for (uint64_t i = 0; moved != nullptr && i < moves; ++i) {
    const Move move = move_of(hdr, r, i);
    moved(move.old_offset, move.new_offset, move.table_id, context);
  }
  PoolLock lock(hdr);
  bool retired = false;
  BlockHeader* header = block_of(hdr, r.at, ZIM_SHM_POOL_MIGRATION, &retired);
  if (header != nullptr && !retired) {
    put(header->tag, retired_tag(ZIM_SHM_POOL_MIGRATION));
  }
  put(hdr->migration, 0);
  return 0;
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

// Retires the live block at `offset` of slot's table id: one transaction.
void retire_block(PoolHeader* hdr, uint32_t table_id, IdSlot* slot, uint64_t offset,
                  uint64_t size) {
  bool retired = false;
  BlockHeader* header = block_of(hdr, offset, table_id, &retired);
  if (header == nullptr || retired || header->size.load(kRelaxed) != size) return;
  TableRegion& region = slot->region;
  const uint64_t bytes = region.bytes.load(kRelaxed);
  const uint64_t blocks = region.blocks.load(kRelaxed);
  Undo undo;
  undo.retired_header = offset - kLine;
  arm(hdr, offset_in(hdr, &region), undo);
  put(header->tag, retired_tag(table_id));
  put(region.bytes, bytes > lines(size) ? bytes - lines(size) : 0);
  put(region.blocks, blocks > 0 ? blocks - 1 : 0);
  put(hdr->undo.armed, 0);
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

bool migration_takes(const PoolHeader* hdr, uint32_t table_id, uint64_t fingerprint) {
  Record r;
  const uint64_t at = hdr->migration.load(kRelaxed);
  if (at == 0 || !read_record(hdr, at, &r)) return false;
  for (const TypeEntry& t : r.types) {
    if (t.table_id == table_id && t.new_fingerprint == fingerprint) return true;
  }
  return false;
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
  std::lock_guard<std::mutex> guard(zim_sim::g_migrating);
  const std::string prefix =
      "zim_memory: cannot migrate pool " + zim_sim::printable(zim_shm_pool_name()) + ": ";
  const zim_sim::Config own = zim_sim::this_process_config();  // may end the process: unlocked
  // A migration under way first, then one of this program's own.
  for (;;) {
    zim_sim::Migration m{prefix, zim_sim::program_layouts(), own, fd, {}, false, {}, {}, {}};
    int err = 0;
    {
      zim_sim::PoolLock lock(hdr);
      err = zim_sim::prepare(hdr, &m);
      if (err == 0 && m.record.at == 0 && !m.types.empty()) zim_sim::begin(hdr, &m);
    }
    if (err == 0 && !m.resumed && m.types.empty()) return 0;
    // One transaction per object, many to a holding of the lock, which costs
    // more than a conversion.
    for (size_t i = 0; err == 0 && i < m.olds.size();) {
      zim_sim::PoolLock lock(hdr);
      const size_t end = std::min(m.olds.size(), i + zim_sim::kConversionsPerLock);
      for (; err == 0 && i < end; ++i) err = zim_sim::convert_one(hdr, &m, m.olds[i]);
    }
    if (err == 0) err = zim_sim::complete(hdr, &m, moved, context);
    if (err == 0) zim_sim::report_dropped(m, zim_shm_pool_name());
    zim_sim::report(m);
    if (err != 0) return zim_sim::fail(err);
    if (!m.resumed) return 0;
  }
}

extern "C" ZIM_SIM_API int zim_shm_pool_retire(uint32_t table_id) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return zim_sim::fail(ENOENT);
  const int fd = zim_sim::owned_pool_fd();
  if (fd < 0) return zim_sim::fail(EPERM);
  if (table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return zim_sim::fail(EINVAL);
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
  for (const auto& [offset, size] : r.blocks) {
    zim_sim::PoolLock lock(hdr);
    if (slot == nullptr) slot = zim_sim::id_slot(hdr, hdr->size, table_id);
    if (slot != nullptr) zim_sim::retire_block(hdr, table_id, slot, offset, size);
  }
  // The record last: until the objects are retired, nobody may make another layout's.
  zim_sim::PoolLock lock(hdr);
  if (slot == nullptr) slot = zim_sim::id_slot(hdr, hdr->size, table_id);
  if (slot != nullptr) zim_sim::switch_layout(hdr, slot, 0, 0);
  return 0;
}
