// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the read-only pass of a migration, under the pool's lock:
// which types changed, their plans, the old objects and what they become,
// whether the pool has room for them and whether another process maps it.
// It writes nothing: every refusal comes before the first transaction.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "alloc/alloc.hpp"
#include "attach/attach_locks.hpp"
#include "migration/migration.hpp"
#include "platform/env.hpp"
#include "records/records.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

namespace {

// Unsound objects named one by one before the rest are counted.
constexpr size_t kNamedObjects = 20;

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

// Names an object that is not sound for its recorded layout, the first
// kNamedObjects of them: out of the walk's way, which meets it rarely.
[[gnu::noinline, gnu::cold]] void name_unsound(Migration* m, const TypeWork& w, uint64_t offset,
                                               uint64_t size, size_t* unsound) {
  if ((*unsound)++ >= kNamedObjects) return;
  m->lines.push_back(type_text(w.note->text, w.table_id) + ": the object at offset " +
                     offset_text(offset) + " (" + offset_text(size) +
                     " bytes) is not sound for its recorded layout");
}

// Collects the live old objects of the types to convert and sizes what each
// becomes; an object that is not sound for its layout is a refusal. One step
// over the carved blocks (for_each_carved_block).
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
  size_t unsound = 0;
  const bool versioned = is_versioned(hdr);
  for_each_carved_block(
      hdr, [&](uint64_t offset, uint64_t tag, uint64_t size) __attribute__((always_inline)) {
        const uint64_t table_id = tag >> 32;
        if (static_cast<uint32_t>(tag) != kBlockMagic || table_id >= by_id.size() ||
            by_id[table_id] == kNone) {
          return;
        }
        const size_t type = by_id[table_id];
        const TypeWork& w = m->types[type];
        // Blocks carved since the migration began, conversions among them, are new.
        if (m->record.at != 0 && (offset >= m->record.carve ||
                                  (offset - kLine >= w.cursor && offset - kLine < w.limit))) {
          return;
        }
        // A versioned pool's object without its line has no pool id to carry.
        bool in_pool = false;
        const bool lined =
            !versioned || line_of(const_cast<PoolHeader*>(hdr), base + offset, &in_pool) != nullptr;
        const uint64_t new_size =
            lined ? zim_table_migration_new_size(w.plan.get(), base + offset, size) : 0;
        if (new_size != 0) {
          m->olds.push_back({offset, size, new_size, type});
        } else {
          name_unsound(m, w, offset, size, &unsound);
        }
      });
  if (unsound > kNamedObjects) {
    m->lines.push_back("and " + std::to_string(unsound - kNamedObjects) +
                       " more objects not sound for their recorded layouts");
  }
  return unsound == 0;
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
    if (!plan_converted(carve, end, cursor, limit, converted_need(hdr, o.new_size), &p)) {
      return false;
    }
    carve = p.carve;
    cursor = p.cursor;
    limit = p.limit;
  }
  return true;
}

}  // namespace

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
    for (const OldBlock& o : m->olds) bytes += converted_need(hdr, o.new_size);
    m->lines.push_back("it cannot hold the " + std::to_string(m->olds.size()) +
                       " converted objects (" + std::to_string(bytes) +
                       " bytes with their headers) and the migration's records beside what it "
                       "holds");
    return ENOSPC;
  }
  // Objects that stay where they are may be read meanwhile.
  return m->olds.empty() ? 0 : check_attachers(hdr, m->fd, &m->lines);
}

}  // namespace zim_sim
