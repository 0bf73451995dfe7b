// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the parts of a transaction that allocations, replacements
// and the migration's transactions share: planning what a request carves,
// writing a block header and its start bit, arming the undo record.

#include <atomic>
#include <cstdint>

#include "alloc/alloc.hpp"
#include "segment/segment.hpp"

namespace {

using zim_sim::BlockHeader;
using zim_sim::IdSlot;
using zim_sim::PoolHeader;
using zim_sim::put;
using zim_sim::TableRegion;

constexpr auto kRelaxed = std::memory_order_relaxed;  // all under the pool's lock
using zim_sim::kLine;
using zim_sim::lines;
using zim_sim::put_changed;
constexpr uint64_t kPageNeed = kLine + sizeof(zim_sim::IdPage);

}  // namespace

bool zim_sim::plan(uint64_t carve, uint64_t end, uint64_t cursor, uint64_t limit, bool page,
                   uint64_t record_bytes, uint64_t need, Plan* p) {
  uint64_t c = carve;
  p->cursor = cursor;
  p->limit = limit;
  const auto take = [&](uint64_t n, uint64_t* at) { return end - c >= n && (*at = c, c += n); };
  if (page && !take(kPageNeed, &p->page)) return false;
  p->record_bytes = record_bytes;
  if (record_bytes != 0 && !take(kLine + lines(record_bytes), &p->record)) return false;
  if (need > ZIM_SHM_POOL_CHUNK_SIZE) {  // a run of its own; the chunk stays in use
    if (!take(need, &p->block)) return false;
  } else if (p->limit - p->cursor >= need) {
    p->block = p->cursor;
    p->cursor += need;
  } else {
    // The rest of the current chunk is left unused. At the end of the pool a
    // chunk may be shorter than usual, but it must hold this request.
    const uint64_t len = end - c < ZIM_SHM_POOL_CHUNK_SIZE ? end - c : ZIM_SHM_POOL_CHUNK_SIZE;
    if (len < need) return false;
    p->block = c;
    p->cursor = c + need;
    p->limit = c += len;
  }
  p->carve = c;
  return true;
}

void zim_sim::put_header(PoolHeader* hdr, uint64_t at, uint64_t size, uint32_t tag) {
  BlockHeader& header = zim_sim::block_header_at(hdr, at);
  put(header.size, size);
  put(header.tag, zim_sim::block_tag(tag));  // the tag last: a walker that sees it sees the size
  std::atomic<uint64_t>& word = zim_sim::start_word(hdr, hdr->size, at + kLine);
  put(word, word.load(kRelaxed) | zim_sim::start_bit(at + kLine));
}

void zim_sim::arm(PoolHeader* hdr, uint64_t region_at, const Undo& u) {
  zim_sim::UndoRecord& undo = hdr->undo;
  put(undo.carve, hdr->carve.load(kRelaxed));
  put(undo.region, region_at);
  if (region_at != 0) {
    const auto* region =
        reinterpret_cast<const TableRegion*>(reinterpret_cast<const char*>(hdr) + region_at);
    put(undo.cursor, region->cursor.load(kRelaxed));
    put(undo.limit, region->limit.load(kRelaxed));
    put(undo.bytes, region->bytes.load(kRelaxed));
    put(undo.blocks, region->blocks.load(kRelaxed));
    if (u.slot_layout) {
      const auto* slot = reinterpret_cast<const IdSlot*>(region);
      put_changed(undo.fingerprint, slot->fingerprint.load(kRelaxed));
      put_changed(undo.layout, slot->layout.load(kRelaxed));
    }
  }
  put(undo.block_header, u.block_header);
  put_changed(undo.page_header, u.page_header);
  put_changed(undo.record_header, u.record_header);
  put_changed(undo.record_size, u.record_size);
  put_changed(undo.block_bytes, u.block_bytes);
  put_changed(undo.retired_header, u.retired_header);
  put_changed(undo.move_count_at, u.move_count_at);
  put_changed(undo.move_count, u.move_count);
  put_changed(undo.span_end, u.span_end);
  put_changed(undo.slot_layout, u.slot_layout ? 1 : 0);
  put(undo.armed, 1);
}
