// SPDX-License-Identifier: Apache-2.0
// The stores that copy a type's inline fields and presence flags, planned at
// compile time from its spans: each field's bytes are stored, then a fence,
// then its flag. Plain constexpr functions over plain records, so that a
// test can plan every type of the catalogue and check each plan's stores.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zim_tables {

// Adjacent inline fields: bytes from offset, flags presence flags from
// flag_offset, in field order.
struct field_span {
  uint32_t offset = 0;
  uint32_t bytes = 0;
  uint32_t flag_offset = 0;
  uint32_t flags = 0;
};

// One copy of bytes at the same offset in both objects; with fence_after,
// no store after it may be made before it.
struct copy_step {
  uint32_t offset = 0;
  uint32_t bytes = 0;
  bool fence_after = false;
};

template <size_t Max>
struct copy_plan {
  std::array<copy_step, Max> steps{};
  size_t count = 0;

  constexpr void add(uint32_t offset, uint32_t bytes, bool fence_after = false) {
    steps[count++] = {offset, bytes, fence_after};
  }
  constexpr void fence() {
    if (count != 0) steps[count - 1].fence_after = true;
  }
};

// The steps for Max is enough: one per span and per flag run, and the moves
// of the joined region below.
constexpr size_t plan_capacity(size_t spans) { return 2 * spans + 20; }

// A region of the object up to this many bytes may go as 16-byte moves: the
// compiler's own limit for an inline block copy.
inline constexpr uint32_t kJoinedRegionBytes = 256;

// Adds the fewest moves of 1, 2, 4, 8 or 16 bytes that store [begin, end) in
// ascending order: from 16 bytes on, 16-byte moves with the last ending at
// end; below, the narrowest width that covers it where `room` bytes below
// begin may be stored again, otherwise the widest that fits, twice,
// overlapping.
template <size_t Max>
constexpr void add_moves(copy_plan<Max>& plan, uint32_t begin, uint32_t end, uint32_t room,
                         bool fence_after_each) {
  const uint32_t n = end - begin;
  if (n == 0) return;
  if (n <= 16) {
    uint32_t wide = 1;
    while (wide < n) wide *= 2;
    if (wide - n <= room) {
      plan.add(end - wide, wide, fence_after_each);
      return;
    }
    const uint32_t narrow = wide / 2;
    plan.add(begin, narrow, fence_after_each);
    plan.add(end - narrow, narrow, fence_after_each);
    return;
  }
  for (uint32_t at = begin; at + 16 < end; at += 16) plan.add(at, 16, fence_after_each);
  plan.add(end - 16, 16, fence_after_each);
}

constexpr size_t moves_for(uint32_t bytes) {
  copy_plan<kJoinedRegionBytes / 16 + 1> plan;
  add_moves(plan, 0, bytes, 0, false);
  return plan.count;
}

// Whether the moves from `first` on, all inside the region that begins at
// `region`, store every byte of [region, field_end) before they store any
// byte of [flag_begin, flag_end) for the first time.
template <size_t Max>
constexpr bool fields_precede_flags(const copy_plan<Max>& plan, size_t first, uint32_t region,
                                    uint32_t field_end, uint32_t flag_begin, uint32_t flag_end) {
  std::array<bool, kJoinedRegionBytes> stored{};
  for (size_t i = first; i < plan.count; ++i) {
    const copy_step& s = plan.steps[i];
    bool fields_stored = true;
    for (uint32_t at = region; at < field_end; ++at)
      fields_stored = fields_stored && stored[at - region];
    for (uint32_t at = s.offset; at < s.offset + s.bytes; ++at) {
      if (at >= flag_begin && at < flag_end && !stored[at - region] && !fields_stored) return false;
    }
    for (uint32_t at = s.offset; at < s.offset + s.bytes; ++at) stored[at - region] = true;
  }
  return true;
}

// The plan: every span's bytes, a fence, the flags in runs of adjacent
// bytes. The flag area begins right after the last data field, so where
// that field is inline, its span and the first flag run are one stretch of
// the object, which two plans make use of, the one with fewer moves taken:
// - the first run's moves may store the span's last bytes again, so a
//   short run goes as one move;
// - the span and the run go together as one region of ascending moves, a
//   fence after each, where no move stores one of the span's own flags for
//   the first time before every byte of the span is stored.
template <size_t Max>
constexpr copy_plan<Max> plan_field_copy(const field_span* spans, size_t count) {
  std::array<field_span, Max> runs{};
  size_t run_count = 0;
  for (size_t i = 0; i < count; ++i) {
    const field_span& s = spans[i];
    if (s.flags == 0) continue;
    if (run_count != 0 &&
        runs[run_count - 1].flag_offset + runs[run_count - 1].flags == s.flag_offset) {
      runs[run_count - 1].flags += s.flags;
    } else {
      runs[run_count++] = {0, 0, s.flag_offset, s.flags};
    }
  }
  copy_plan<Max> plan;
  if (count == 0) return plan;
  for (size_t i = 0; i + 1 < count; ++i) plan.add(spans[i].offset, spans[i].bytes);
  const field_span& last = spans[count - 1];
  const uint32_t last_end = last.offset + last.bytes;
  const bool joined = run_count != 0 && last_end == runs[0].flag_offset;
  size_t next_run = 0;
  if (!joined) {
    plan.add(last.offset, last.bytes);
    plan.fence();
  } else {
    const uint32_t run_end = runs[0].flag_offset + runs[0].flags;
    next_run = 1;
    copy_plan<Max> together = plan;
    together.fence();
    const size_t first = together.count;
    const bool small = run_end - last.offset <= kJoinedRegionBytes;
    if (small) add_moves(together, last.offset, run_end, 0, true);
    plan.add(last.offset, last.bytes);
    plan.fence();
    const size_t apart_from = plan.count;
    if (runs[0].flags <= 16) {
      add_moves(plan, last_end, run_end, last.bytes, false);
    } else {
      plan.add(last_end, runs[0].flags);
    }
    if (small && together.count - first < moves_for(last.bytes) + (plan.count - apart_from) &&
        fields_precede_flags(together, first, last.offset, last_end, last.flag_offset,
                             last.flag_offset + last.flags)) {
      plan = together;
    }
  }
  for (size_t r = next_run; r < run_count; ++r) plan.add(runs[r].flag_offset, runs[r].flags);
  return plan;
}

}  // namespace zim_tables
