// SPDX-License-Identifier: Apache-2.0
// libzim_memory: carving blocks for table ids (and the untyped blocks) out of
// the pool, with the id's page and layout record when its first block comes.

#include <zim/tables/platform.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "alloc/alloc.hpp"
#include "attach/attach.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "records/records.hpp"
#include "segment/segment.hpp"
#include "versions/versions.hpp"

namespace {

using zim_sim::IdSlot;
using zim_sim::PoolHeader;
using zim_sim::put;
using zim_sim::TableRegion;

constexpr auto kRelaxed = std::memory_order_relaxed;  // all under the pool's lock
using zim_sim::kLine;
using zim_sim::lines;
using zim_sim::Plan;
using zim_sim::put_changed;
using zim_sim::put_header;

struct Request {
  uint32_t table_id;  // or ZIM_SHM_POOL_UNTYPED
  uint64_t size;
  uint64_t need;                      // its rounded size plus its header
  const zim_sim::NoteLayout* note;    // to check and record, null for none
  bool owner;                         // with a note: this process owns the pool
  uint64_t writer;                    // versioned pools: the writer's stamp for the line, else 0
  uint64_t pool_id;                   // versioned pools: the id to give, 0 to draw one
  const zim_sim::Replaced* replaced;  // the live object the block replaces, null for none
};

// kRefused: another process holds the pool's writes; kTaken: a live object has r.pool_id;
// kBusy: a migration is under way; kGone: the object to replace is not live.
enum class Outcome { kDone, kFull, kOtherLayout, kRefused, kTaken, kBusy, kGone };

// Stores what `p` planned, the undo record armed first (I4 in segment.hpp).
void carry_out(PoolHeader* hdr, const Request& r, TableRegion* region, uint64_t region_at,
               const Plan& p) {
  const uint64_t bytes = region->bytes.load(kRelaxed), blocks = region->blocks.load(kRelaxed);
  zim_sim::Undo undo;
  undo.block_header = p.block;
  undo.page_header = p.page;
  undo.record_header = p.record;
  undo.record_size = p.record_bytes;
  // A line's data and the object's header are written in place behind the line's header.
  if (r.writer != 0) undo.block_bytes = zim_sim::kLinedExtra;
  // A replaced object is retired first: a reader without the lock sees at
  // worst neither object, never two of one pool id.
  if (r.replaced != nullptr) undo.retired_header = r.replaced->offset - kLine;
  zim_sim::arm(hdr, region_at, undo);
  if (r.replaced != nullptr) zim_sim::retire_replaced(hdr, r.table_id, *r.replaced);
  if (p.page != 0) put_header(hdr, p.page, sizeof(zim_sim::IdPage), ZIM_SHM_POOL_ID_PAGE);
  if (p.record != 0) {
    std::vector<char> record(sizeof(zim_shm_pool_layout_record_t) + r.note->text.size());
    const zim_shm_pool_layout_record_t head{r.table_id, static_cast<uint32_t>(r.note->text.size()),
                                            r.note->fingerprint};
    std::memcpy(record.data(), &head, sizeof head);
    std::memcpy(record.data() + sizeof head, r.note->text.data(), r.note->text.size());
    zim_sim::fill(reinterpret_cast<char*>(hdr) + p.record + kLine, record.data(), record.size());
    put_header(hdr, p.record, record.size(), ZIM_SHM_POOL_LAYOUT);
  }
  const uint64_t object_header = r.writer != 0 ? p.block + zim_sim::kLinedExtra : p.block;
  if (r.writer != 0) {
    zim_sim::fill_new_line(hdr, p.block + kLine, r.writer, r.pool_id);
    put_header(hdr, p.block, zim_sim::kLineBytes, ZIM_SHM_POOL_VERSION_LINE);
  }
  put_header(hdr, object_header, r.size, r.table_id);
  put_changed(hdr->carve, p.carve);
  if (p.page != 0) put(hdr->pages[r.table_id / zim_sim::kIdsPerPage], p.page + kLine);
  put_changed(region->limit, p.limit);
  put_changed(region->cursor, p.cursor);
  const uint64_t gone = r.replaced != nullptr ? lines(r.replaced->size) : 0;
  put(region->bytes, (bytes > gone ? bytes - gone : 0) + lines(r.size));
  if (r.replaced == nullptr) put(region->blocks, blocks + 1);
  if (p.record != 0) {
    auto* slot = reinterpret_cast<IdSlot*>(region);
    put(slot->fingerprint, r.note->fingerprint);
    put(slot->layout, p.record + kLine);
  }
  put(hdr->undo.armed, 0);
}

// Hands out a block for r, with the pool locked. A table id's first block
// brings its page when the page is missing and, when r carries a note and the
// pool has no layout record of the id, the record; a record of another layout
// refuses (its text in *recorded). *carved: what the request took from the
// carve point, for populating past the lock.
Outcome allocate(PoolHeader* hdr, const Request& r, uint64_t* block, std::string* recorded,
                 zim_sim::Carved* carved) {
  const uint64_t end = zim_sim::start_map_offset(hdr->size);  // of what can be carved
  const bool untyped = r.table_id == ZIM_SHM_POOL_UNTYPED;
  IdSlot* slot = untyped ? nullptr : zim_sim::id_slot(hdr, hdr->size, r.table_id);
  uint64_t record_bytes = 0;
  if (r.note != nullptr) {
    const uint64_t at = slot != nullptr ? slot->layout.load(kRelaxed) : 0;
    // While a migration converts the id's objects, its owner may make
    // objects of the layout they become.
    if (at != 0 && slot->fingerprint.load(kRelaxed) != r.note->fingerprint &&
        !(r.owner && zim_sim::migration_takes(hdr, r.table_id, r.note->fingerprint))) {
      if (!zim_sim::read_layout_record(hdr, hdr->size, at, r.table_id, recorded)) {
        recorded->clear();
      }
      return Outcome::kOtherLayout;
    }
    if (at == 0) record_bytes = sizeof(zim_shm_pool_layout_record_t) + r.note->text.size();
  }
  static const TableRegion kEmpty{};
  const bool new_page = !untyped && slot == nullptr;
  Plan p;
  const TableRegion& old = untyped ? hdr->untyped : slot != nullptr ? slot->region : kEmpty;
  const uint64_t carve_before = hdr->carve.load(kRelaxed);
  if (!zim_sim::plan(carve_before, end, old.cursor.load(kRelaxed), old.limit.load(kRelaxed),
                     new_page, record_bytes, r.need, &p)) {
    return Outcome::kFull;
  }
  if (new_page) {
    auto* page = reinterpret_cast<zim_sim::IdPage*>(reinterpret_cast<char*>(hdr) + p.page + kLine);
    slot = &page->slots[r.table_id % zim_sim::kIdsPerPage];
  }
  TableRegion* region = untyped ? &hdr->untyped : &slot->region;
  // The retirement's version is kept before the block's header says retired
  // (a resync by versions finds it after any lap), drawn once nothing refuses.
  zim_sim::ChangeAnnouncer* announcer = r.replaced != nullptr ? r.replaced->announcer : nullptr;
  if (announcer != nullptr) {
    announcer->draw(reinterpret_cast<char*>(hdr) + r.replaced->offset);
    announcer->keep_retirement();
  }
  carry_out(hdr, r, region, zim_sim::offset_in(hdr, region), p);
  if (announcer != nullptr) announcer->publish(zim_sim::FeedKind::retired, true);
  *block = p.block + kLine + (r.writer != 0 ? zim_sim::kLinedExtra : 0);
  if (p.carve != carve_before) *carved = {carve_before, p.carve};
  return Outcome::kDone;
}

// Whether the program's layout of the table id (its note) gives objects of
// `size` bytes at this process's NPD size and N, which the pool's handshake
// holds equal to the pool's; a line on stderr when not. A library of another
// layout than the program was compiled against sizes its objects by its own.
bool size_allowed(uint32_t table_id, const zim_sim::NoteLayout& note, uint64_t size) {
  if (!note.sizes.known) return true;
  const uint64_t npd = qor_npd_get_table_size(table_id);
  const uint64_t npus = hulcon_config_get_max_num_npus();
  if (zim_sim::gives_size(note.sizes, npd, npus, size)) return true;
  std::fprintf(stderr,
               "zim_memory: cannot make an object of type %s (table id %" PRIu32 ") of %" PRIu64
               " bytes in pool %s: the layout of %s gives %s; was the program "
               "built against another version of the type's library?\n",
               zim_sim::record_type_name(note.text).c_str(), table_id, size,
               zim_sim::printable(zim_shm_pool_name()).c_str(),
               zim_sim::printable(note.object).c_str(),
               zim_sim::allowed_sizes(note.sizes, npd, npus).c_str());
  return false;
}

// Sizes r for hdr (a line in front in a versioned pool, naming this process
// as the new object's writer) and hands out its block under the pool's lock;
// past the lock, brings in the pages of what it carved and the first of the
// next carve.
Outcome hand_out(PoolHeader* hdr, Request* r, uint64_t* offset, std::string* recorded) {
  r->need = kLine + lines(r->size);  // size <= hdr->size < 2^63: no overflow.
  if (zim_sim::is_versioned(hdr)) {
    r->writer = zim_sim::writer_stamp(hdr);
    if (r->writer == 0) return errno == EPERM ? Outcome::kRefused : Outcome::kFull;
    r->need += zim_sim::kLinedExtra;
  }
  zim_sim::Carved carved;
  Outcome outcome;
  {
    zim_sim::PoolLock lock(hdr);
    // Under the lock that claims are taken under: an allocation is either
    // before a claim or refused by it.
    if (r->writer != 0 && zim_sim::writes_refused(hdr, r->writer)) return Outcome::kRefused;
    if (r->replaced != nullptr) {
      const int refusal = zim_sim::replacement_refusal(hdr, r->table_id, r->pool_id, *r->replaced);
      if (refusal != 0) return refusal == EBUSY ? Outcome::kBusy : Outcome::kGone;
    } else if (r->pool_id != 0 && zim_sim::pool_id_taken(hdr, r->pool_id)) {
      return Outcome::kTaken;
    }
    outcome = allocate(hdr, *r, offset, recorded, &carved);
  }
  if (carved.next != 0) zim_sim::prefault_carved(hdr, carved);
  return outcome;
}

void* no_block(int err) {
  errno = err;
  return nullptr;
}

int refusal_errno(Outcome outcome) {
  switch (outcome) {
    case Outcome::kRefused:
      return EPERM;
    case Outcome::kTaken:
      return EEXIST;
    case Outcome::kBusy:
      return EBUSY;
    case Outcome::kGone:
    case Outcome::kOtherLayout:
      return EINVAL;
    default:
      return ENOMEM;
  }
}

// Picks r->note, checked and recorded with the id's first block: the
// program's note of the id, else `received` (a layout its maker was given,
// null for none). *sized: the note r's size is held to. Every block of a type
// the program has a layout of is held to its sizes; only the first one in a
// pool looks at the notes. False after a line on stderr.
bool choose_note(uint32_t table_id, const zim_sim::NoteLayout* received, Request* r,
                 std::shared_ptr<const zim_sim::ProgramLayouts>* layouts,
                 const zim_sim::NoteLayout** sized) {
  if (received == nullptr && zim_sim::needs_no_note(table_id)) {
    *sized = zim_sim::checked_note(table_id);
    return true;
  }
  if (!zim_sim::note_of(table_id, layouts, &r->note)) return false;
  if (r->note == nullptr) {
    r->note = received;
  } else if (received != nullptr && received->fingerprint != r->note->fingerprint) {
    std::fprintf(stderr,
                 "zim_memory: cannot make an object of type %s (table id %" PRIu32
                 ") of layout %016" PRIx64 ": this program's layout of it is %016" PRIx64 "\n",
                 zim_sim::record_type_name(r->note->text).c_str(), table_id, received->fingerprint,
                 r->note->fingerprint);
    return false;
  }
  *sized = r->note;
  return true;
}

uint64_t table_stat(uint32_t table_id, std::atomic<uint64_t> TableRegion::*field) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return 0;
  zim_sim::PoolLock lock(hdr);
  if (table_id == ZIM_SHM_POOL_UNTYPED) return (hdr->untyped.*field).load(kRelaxed);
  if (table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return 0;
  const IdSlot* slot = zim_sim::id_slot(hdr, hdr->size, table_id);
  return slot != nullptr ? (slot->region.*field).load(kRelaxed) : 0;
}

}  // namespace

void* zim_sim::calloc_block(uint32_t table_id, uint64_t size) {
  return calloc_block_as(table_id, size, 0);
}

void* zim_sim::calloc_block_as(uint32_t table_id, uint64_t size, uint64_t pool_id,
                               const NoteLayout* received, const Replaced* replaced) {
  const bool typed = table_id != ZIM_SHM_POOL_UNTYPED;
  if (size == 0 && !typed) return no_block(EINVAL);
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) hdr = zim_sim::map_default_pool();
  if (hdr == nullptr) return nullptr;
  if (pool_id != 0 && !zim_sim::is_versioned(hdr)) return no_block(EINVAL);
  Request r{table_id, size, 0, nullptr, false, 0, pool_id, replaced};
  std::shared_ptr<const ProgramLayouts> layouts;  // keeps r.note alive
  const NoteLayout* sized = nullptr;
  if (typed && !choose_note(table_id, received, &r, &layouts, &sized)) return no_block(EINVAL);
  if (sized != nullptr && !size_allowed(table_id, *sized, size)) return no_block(EINVAL);
  if (size == 0 || size > hdr->size) return no_block(ENOMEM);
  // Asked before the pool's lock is taken, which attaching takes after the mapping's.
  if (r.note != nullptr) r.owner = zim_sim::owned_pool_fd() >= 0;
  uint64_t offset = 0;
  std::string recorded;
  const Outcome outcome = hand_out(hdr, &r, &offset, &recorded);
  if (outcome == Outcome::kOtherLayout) {
    std::fprintf(stderr, "zim_memory: cannot make an object in pool %s: it holds objects of %s\n",
                 printable(zim_shm_pool_name()).c_str(),
                 layout_refusal(table_id, *r.note, recorded).c_str());
    return no_block(EINVAL);
  }
  if (outcome != Outcome::kDone) return no_block(refusal_errno(outcome));
  if (r.note != nullptr && r.note != received) zim_sim::add_checked(table_id, r.note);
  // No clearing needed: blocks are never reused and the segment was created
  // zero-filled, so every byte handed out is still zero (I3).
  return reinterpret_cast<char*>(hdr) + offset;
}

void* zim_sim::calloc_block_recorded(uint32_t table_id, uint64_t size, const NoteLayout* layout) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || table_id > ZIM_SHM_POOL_MAX_TABLE_ID || size == 0 || size > hdr->size) {
    return nullptr;
  }
  Request r{table_id, size, 0, layout, true, 0, 0, nullptr};
  uint64_t offset = 0;
  std::string recorded;
  const Outcome outcome = hand_out(hdr, &r, &offset, &recorded);
  if (outcome != Outcome::kDone) return no_block(refusal_errno(outcome));
  return reinterpret_cast<char*>(hdr) + offset;
}

extern "C" ZIM_SIM_API void* zim_shm_table_pool_calloc(uint32_t table_id, uint64_t size) {
  if (table_id > ZIM_SHM_POOL_MAX_TABLE_ID) return nullptr;
  return zim_sim::calloc_block(table_id, size);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_table_bytes(uint32_t table_id) {
  return table_stat(table_id, &TableRegion::bytes);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_table_blocks(uint32_t table_id) {
  return table_stat(table_id, &TableRegion::blocks);
}
