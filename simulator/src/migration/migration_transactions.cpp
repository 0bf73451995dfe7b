// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the transactions of a migration and of a retirement, each
// under the pool's lock with the undo record armed (I4 and I5 in segment/segment.hpp).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "alloc/alloc.hpp"
#include "attach/attach_gate.hpp"
#include "migration/migration.hpp"
#include "records/records.hpp"
#include "segment/segment.hpp"
#include "versions/pool_news.hpp"

namespace zim_sim {

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

// begin, closing the attach gate first and told in the feed: the record's
// offset and the objects it converts.
void begin_announced(PoolHeader* hdr, Migration* m) {
  close_attach_gate(hdr);
  const uint64_t sequence = m->news->draw();
  begin(hdr, m);
  m->news->publish(sequence,
                   news_entry(FeedKind::migration_begun, 0, m->record.at, m->olds.size(), 0));
}

namespace {

// The refusals of one conversion, each a line in m->lines and an errno: out
// of line, so that the conversion's own path keeps its registers.
[[gnu::noinline, gnu::cold]] int refuse_object(Migration* m, const TypeWork& w, uint64_t offset,
                                               const char* what, int err) {
  m->lines.push_back(type_text(w.note->text, w.table_id) + ": the object at offset " +
                     offset_text(offset) + what);
  return err;
}

[[gnu::noinline, gnu::cold]] int refuse_no_room(Migration* m, uint64_t offset) {
  m->lines.push_back("it has no room left for the object converted from offset " +
                     offset_text(offset) + ": objects made since the migration began took it");
  return ENOSPC;
}

[[gnu::noinline, gnu::cold]] int refuse_full(Migration* m) {
  m->lines.push_back("its migration record at offset " + offset_text(m->record.at) + " is full");
  return EINVAL;
}

// The line of the old object at `from` in a versioned pool (null elsewhere);
// false after a line in m->lines when it has lost it.
[[gnu::always_inline]] inline bool old_line_of(PoolHeader* hdr, Migration* m, const TypeWork& w,
                                               const OldBlock& o, const VersionLine** line) {
  *line = nullptr;
  if (!is_versioned(hdr)) return true;
  bool in_pool = false;
  *line = line_of(hdr, reinterpret_cast<const char*>(hdr) + o.offset, &in_pool);
  if (*line != nullptr) return true;
  refuse_object(m, w, o.offset, " lost its version line", EINVAL);
  return false;
}

// Writes the new block planned at `block`, in the armed transaction: in a
// versioned pool the line that carries old_line's pool id with the version
// of `sequence`, then the header and the converted object. Its object's
// offset, or 0 when the conversion refuses the old object.
[[gnu::always_inline]] inline uint64_t write_converted(PoolHeader* hdr, const Migration& m,
                                                       const TypeWork& w, const OldBlock& o,
                                                       const VersionLine* old_line, uint64_t block,
                                                       uint64_t sequence) {
  const uint64_t object = block + (old_line != nullptr ? kLinedExtra : 0);  // its block header
  if (old_line != nullptr) {
    fill_converted_line(hdr, block + kLine, *old_line, sequence, m.news->writer());
    put_header(hdr, block, kLineBytes, ZIM_SHM_POOL_VERSION_LINE);
  }
  put_header(hdr, object, o.new_size, w.table_id);
  const void* from = reinterpret_cast<const char*>(hdr) + o.offset;
  return zim_table_migration_convert(w.plan.get(), from, o.size,
                                     reinterpret_cast<char*>(hdr) + object + kLine, o.new_size) == 0
             ? object + kLine
             : 0;
}

// Retires a converted object's old block at its move's version, kept in its
// line for followers that resync (an upgraded object's line held there the
// offset it was moved from).
[[gnu::always_inline]] inline void retire_moved(BlockHeader* old, const VersionLine* old_line,
                                                uint32_t table_id, uint64_t sequence) {
  if (old_line != nullptr) put(const_cast<VersionLine*>(old_line)->retired, 2 * sequence);
  put(old->tag, retired_tag(table_id));
}

// Converts one old object into a new block: one transaction. 0, or an errno
// after a line in m->lines; an object that changed since the read-only pass
// sized it is refused. Inlined into convert_all's loop: a call per object
// costs a measurable share of a conversion.
[[gnu::always_inline]] inline int convert_one(PoolHeader* hdr, Migration* m, const OldBlock& o,
                                              uint64_t map) {
  const TypeWork& w = m->types[o.type];
  const Record& r = m->record;
  bool retired = false;
  const uint64_t carve = hdr->carve.load(kRelaxed);
  BlockHeader* old = block_before(hdr, carve < map ? carve : map, o.offset, w.table_id, &retired);
  if (old != nullptr && retired) return 0;
  const auto changed = [&] {
    return refuse_object(m, w, o.offset, " changed while it was being migrated", EPROTO);
  };
  if (old == nullptr || old->size.load(kRelaxed) != o.size) return changed();
  const VersionLine* old_line = nullptr;
  if (!old_line_of(hdr, m, w, o, &old_line)) return EINVAL;
  TableRegion& region = w.slot->region;
  Plan p;
  if (!plan_converted(carve, map, region.cursor.load(kRelaxed), region.limit.load(kRelaxed),
                      converted_need(hdr, o.new_size), &p)) {
    return refuse_no_room(m, o.offset);
  }
  std::atomic<uint64_t>& count = word_at(hdr, r.count_at());
  const uint64_t moves = count.load(kRelaxed);
  if (moves >= r.move_capacity) return refuse_full(m);
  // The conversion is a change of the object: its sequence, drawn first, is
  // its new version, and a death before the move is published reads as lost.
  PoolNews& news = *m->news;
  const uint64_t sequence = news.on() ? news.draw() : 0;
  Undo undo;
  undo.block_header = p.block;
  undo.block_bytes = (old_line != nullptr ? kLinedExtra : 0) + lines(o.new_size);
  undo.retired_header = o.offset - kLine;
  undo.move_count_at = r.count_at();
  undo.move_count = moves;
  const uint64_t bytes = region.bytes.load(kRelaxed);
  arm(hdr, offset_in(hdr, &region), undo);
  const uint64_t object = write_converted(hdr, *m, w, o, old_line, p.block, sequence);
  if (object == 0) {
    undo_transaction(hdr);
    news.publish(sequence, {}, false);
    return changed();
  }
  ZIM_POOL_KILL_POINT();
  put_changed(hdr->carve, p.carve);
  put_changed(region.limit, p.limit);
  put_changed(region.cursor, p.cursor);
  put(region.bytes, (bytes > lines(o.size) ? bytes - lines(o.size) : 0) + lines(o.new_size));
  retire_moved(old, old_line, w.table_id, sequence);
  const uint64_t move = r.move_at(moves);
  put(word_at(hdr, move), o.offset);
  put(word_at(hdr, move + 8), object);
  put(word_at(hdr, move + 16), pair_word(w.table_id, 0));
  put(count, moves + 1);
  put(hdr->undo.armed, 0);
  // Without a feed (sequence 0) there is no entry to build.
  if (sequence == 0) return 0;
  const uint64_t pool_id = old_line != nullptr ? old_line->pool_id.load(kRelaxed) : 0;
  news.publish(sequence, news_entry(FeedKind::moved, w.table_id, o.offset, object, pool_id));
  return 0;
}

}  // namespace

// Conversions under one holding of the pool's lock: short enough a wait for
// other allocators.
constexpr size_t kConversionsPerLock = 64;

// Converts every old object: one transaction per object, many to a holding of
// the lock, which costs more than a conversion. 0, or an errno after a line in
// m->lines.
int convert_all(PoolHeader* hdr, Migration* m) {
  const uint64_t map = start_map_offset(hdr->size);  // where carving ends, for the pool's life
  int err = 0;
  for (size_t i = 0; err == 0 && i < m->olds.size();) {
    PoolLock lock(hdr);
    const size_t end = std::min(m->olds.size(), i + kConversionsPerLock);
    for (; err == 0 && i < end; ++i) err = convert_one(hdr, m, m->olds[i], map);
  }
  return err;
}

// Gives a slot another layout record (fingerprint and layout, 0 and 0 to
// forget it) and retires its old record: one transaction; false when the slot
// had them already.
bool switch_layout(PoolHeader* hdr, IdSlot* slot, uint64_t fingerprint, uint64_t layout) {
  const uint64_t old_layout = slot->layout.load(kRelaxed);
  if (slot->fingerprint.load(kRelaxed) == fingerprint && old_layout == layout) return false;
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
  return true;
}

// switch_layout, told in the feed as the id's layout changed (the record it
// names now, 0 when forgotten).
void switch_layout_announced(PoolHeader* hdr, PoolNews* news, uint32_t table_id, IdSlot* slot,
                             uint64_t fingerprint, uint64_t layout) {
  // No change, no news: a completion cut short after the switch finds it made.
  if (slot->fingerprint.load(kRelaxed) == fingerprint && slot->layout.load(kRelaxed) == layout) {
    return;
  }
  const uint64_t sequence = news->draw();
  const bool switched = switch_layout(hdr, slot, fingerprint, layout);
  news->publish(sequence, news_entry(FeedKind::layout_changed, table_id, layout, 0, 0), switched);
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
      // The keys first: a completion cut short does it again, not its reports.
      carry_keys(hdr, *m->news, r, moves);
      for (const TypeWork& w : m->types) {
        switch_layout_announced(hdr, m->news, w.table_id, w.slot, w.note->fingerprint,
                                w.new_layout);
      }
      const uint64_t root = hdr->root.load(kRelaxed);
      for (uint64_t i = 0; root != 0 && i < moves; ++i) {
        const Move move = move_of(hdr, r, i);
        if (move.old_offset == root) {
          const uint64_t sequence = m->news->draw();
          put(hdr->root, move.new_offset);
          m->news->publish(sequence, news_entry(FeedKind::root_changed, 0, move.new_offset, 0,
                                                pool_id_at(hdr, move.new_offset)));
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
  m->news->tell(news_entry(FeedKind::migration_finished, 0, r.at, moves, 0));
  return 0;
}

// Retires the live block at `offset` of slot's table id: one transaction;
// false, writing nothing, when no such live block is there.
bool retire_block(PoolHeader* hdr, uint32_t table_id, IdSlot* slot, uint64_t offset,
                  uint64_t size) {
  bool retired = false;
  BlockHeader* header = block_of(hdr, offset, table_id, &retired);
  if (header == nullptr || retired || header->size.load(kRelaxed) != size) return false;
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
  return true;
}

}  // namespace zim_sim
