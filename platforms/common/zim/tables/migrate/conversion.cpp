// SPDX-License-Identifier: Apache-2.0
#include "migrate/conversion.hpp"

#include <algorithm>
#include <cstring>

#include "zim/tables/table_object.h"

namespace zim_migration {

using zim_codec::FieldLayout;
using zim_codec::FieldPair;
using zim_codec::ItemKind;
using zim_codec::TypeLayout;
using zim_objects::LinearArray;

namespace {

// A value widened keeps its low-order bytes: first on a little-endian host,
// last on a big-endian one; the bytes above them stay zero.
constexpr bool kBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
uint64_t widened_at(uint64_t old_width, uint64_t new_width) {
  return kBigEndian && new_width > old_width ? new_width - old_width : 0;
}

uint32_t load32(const unsigned char* at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void store32(unsigned char* at, uint32_t v) { std::memcpy(at, &v, sizeof v); }

// Most steps move a few bytes, fewer than a call to copy a size known only
// now would cost: two overlapping moves of the widest width that fits cover
// any size up to twice that width, each move a load and a store.
inline void copy_bytes(unsigned char* to, const unsigned char* from, uint64_t size) {
  if (size > 32) {
    std::memcpy(to, from, size);
  } else if (size >= 16) {
    std::memcpy(to, from, 16);
    std::memcpy(to + size - 16, from + size - 16, 16);
  } else if (size >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + size - 8, from + size - 8, 8);
  } else if (size >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + size - 4, from + size - 4, 4);
  } else if (size >= 2) {
    std::memcpy(to, from, 2);
    std::memcpy(to + size - 2, from + size - 2, 2);
  } else if (size == 1) {
    *to = *from;
  }
}

// `count` elements zero-extended from Old to New: the wider value holds the
// narrower one's, whatever the host's byte order.
template <typename Old, typename New>
void widen(unsigned char* to, const unsigned char* from, uint64_t count) {
#pragma GCC unroll 8
  for (uint64_t i = 0; i < count; ++i) {
    Old value;
    std::memcpy(&value, from + i * sizeof(Old), sizeof value);
    const New wide = value;
    std::memcpy(to + i * sizeof(New), &wide, sizeof wide);
  }
}

// The move that widens elements of old_width bytes to new_width bytes.
Move widening(uint64_t old_width, uint64_t new_width) {
  struct Pair {
    uint64_t older, newer;
    Move move;
  };
  constexpr Pair kPairs[] = {{1, 2, Move::kWiden1To2}, {1, 4, Move::kWiden1To4},
                             {1, 8, Move::kWiden1To8}, {2, 4, Move::kWiden2To4},
                             {2, 8, Move::kWiden2To8}, {4, 8, Move::kWiden4To8}};
  for (const Pair& p : kPairs) {
    if (p.older == old_width && p.newer == new_width) return p.move;
  }
  return Move::kStrided;
}

// Runs one step on the bytes of its first old and new element: inlined in
// the loops over the steps, so that a step costs its moves and one branch.
[[gnu::always_inline]] inline void run(Move move, unsigned char* to, const unsigned char* from,
                                       const Copy& c) {
  switch (move) {
    case Move::kBlock:
      return copy_bytes(to, from, c.size);
    case Move::kWiden1To2:
      return widen<uint8_t, uint16_t>(to, from, c.count);
    case Move::kWiden1To4:
      return widen<uint8_t, uint32_t>(to, from, c.count);
    case Move::kWiden1To8:
      return widen<uint8_t, uint64_t>(to, from, c.count);
    case Move::kWiden2To4:
      return widen<uint16_t, uint32_t>(to, from, c.count);
    case Move::kWiden2To8:
      return widen<uint16_t, uint64_t>(to, from, c.count);
    case Move::kWiden4To8:
      return widen<uint32_t, uint64_t>(to, from, c.count);
    case Move::kStrided:
      for (uint64_t i = 0; i < c.count; ++i) {
        copy_bytes(to + i * c.to_stride, from + i * c.from_stride, c.size);
      }
      return;
  }
}

// The inline fields of one pair (a field, or a group of fields over the same
// bytes) walked element by element on both sides at once: each stretch of
// elements that both sides still hold becomes one strided copy of their
// bytes and one copy of their presence flags. Elements only the newer side
// holds stay absent (zero).
void copy_inline(const FieldPair& pair, std::vector<Copy>& copies) {
  const FieldLayout* a = pair.older;
  const FieldLayout* b = pair.newer;
  size_t a_left = pair.older_count, b_left = pair.newer_count;
  uint32_t ai = 0, bi = 0;  // elements of *a and *b done
  while (a_left != 0 && b_left != 0 && !a->is_array() && !b->is_array()) {
    const uint64_t n = std::min(a->run_length - ai, b->run_length - bi);
    const uint32_t width = std::min(a->width, b->width);
    copies.push_back({a->offset + uint64_t{ai} * a->width,
                      b->offset + uint64_t{bi} * b->width + widened_at(a->width, b->width), width,
                      n, a->width, b->width});
    copies.push_back({a->flag_at + uint64_t{ai}, b->flag_at + uint64_t{bi}, n});
    ai += static_cast<uint32_t>(n);
    bi += static_cast<uint32_t>(n);
    if (ai == a->run_length) ++a, --a_left, ai = 0;
    if (bi == b->run_length) ++b, --b_left, bi = 0;
  }
}

// Blocks contiguous on both sides become one copy, and neighbours that
// continue each other on both sides merge: fields that kept their place
// travel as one block.
std::vector<Copy> merged(std::vector<Copy> copies) {
  for (Copy& c : copies) {
    if (c.count > 1 && c.from_stride == c.size && c.to_stride == c.size) {
      c.size *= c.count;
      c.count = 1;
    }
  }
  std::stable_sort(copies.begin(), copies.end(),
                   [](const Copy& x, const Copy& y) { return x.from < y.from; });
  std::vector<Copy> out;
  for (const Copy& c : copies) {
    if (c.size == 0 || c.count == 0) continue;
    if (!out.empty()) {
      Copy& last = out.back();
      if (last.count == 1 && c.count == 1 && last.from + last.size == c.from &&
          last.to + last.size == c.to) {
        last.size += c.size;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

// The last byte of a copy, plus one, on one side; UINT64_MAX when it does
// not fit.
uint64_t copy_end(uint64_t start, uint64_t stride, uint64_t size, uint64_t count) {
  uint64_t end;
  if (__builtin_mul_overflow(count - 1, stride, &end) || __builtin_add_overflow(end, start, &end) ||
      __builtin_add_overflow(end, size, &end)) {
    return UINT64_MAX;
  }
  return end;
}

// A copy of one block, or of elements whose old bytes follow each other and
// whose widths widen between integer widths, as a specialised step; the
// widened elements are then written whole, from their first byte.
Step step_of(const Copy& c) {
  if (c.count == 1) return {c, Move::kBlock};
  const Move move = c.from_stride == c.size ? widening(c.size, c.to_stride) : Move::kStrided;
  if (move == Move::kStrided) return {c, move};
  Copy whole = c;
  whole.to -= widened_at(c.size, c.to_stride);
  return {whole, move};
}

// The bytes a step reads and writes lie below old_limit and new_limit.
bool step_within(const Step& s, uint64_t old_limit, uint64_t new_limit) {
  const Copy& c = s.copy;
  const bool whole = s.move != Move::kBlock && s.move != Move::kStrided;
  const uint64_t written = whole ? c.to_stride : c.size;
  return copy_end(c.from, c.from_stride, c.size, c.count) <= old_limit &&
         copy_end(c.to, c.to_stride, written, c.count) <= new_limit;
}

const LinearArray* placed(const zim_objects::Placement& p, const TypeLayout& type,
                          const FieldLayout* field) {
  const size_t index = static_cast<size_t>(field - type.fields.data());
  for (const LinearArray& a : p.arrays) {
    if (a.field == index) return &a;
  }
  return nullptr;
}

}  // namespace

std::optional<Conversion> Conversion::compile(const TypeLayout& older, const TypeLayout& newer,
                                              const std::vector<FieldPair>& pairs, uint32_t npus,
                                              uint32_t old_npd_size, uint32_t new_npd_size,
                                              std::string& why) {
  Conversion c;
  c.old_fixed_size_ = older.fixed_size;
  c.old_count_field_ = older.count_field;
  c.new_count_field_ = newer.count_field;
  c.older_ = zim_objects::placement(older, npus, old_npd_size);
  c.newer_ = zim_objects::placement(newer, npus, new_npd_size);
  c.new_npd_present_ = newer.npd_present;
  c.new_npd_ = new_npd_size != 0;
  c.sets_obj_flags_bit5_ = newer.sets_obj_flags_bit5;
  c.plain_ends_ = std::max({c.older_.end_start, c.older_.end_per_count, c.newer_.end_start,
                            c.newer_.end_per_count}) <= UINT32_MAX;

  // The base header travels whole, as a copy carries it; the constructor's
  // own fields of it are written over it afterwards.
  std::vector<Copy> copies{{0, 0, ZIM_OBJ_BASE_HEADER_SIZE}};
  for (const auto& h : older.header) {
    const bool kept = std::any_of(newer.header.begin(), newer.header.end(), [&](const auto& n) {
      return n.offset == h.offset && n.width == h.width;
    });
    if (kept) copies.push_back({h.offset, h.offset, h.width});
  }
  for (const FieldPair& pair : pairs) {
    if (pair.older == nullptr || pair.newer == nullptr) continue;
    if (!pair.older->is_array() && !pair.newer->is_array()) {
      copy_inline(pair, copies);
    } else if (pair.older->is_array() && pair.newer->is_array()) {
      const LinearArray* a = placed(c.older_, older, pair.older);
      const LinearArray* b = placed(c.newer_, newer, pair.newer);
      if (a != nullptr && b != nullptr) {
        c.arrays_.push_back(
            {*a, *b, a->width == b->width ? Move::kBlock : widening(a->width, b->width)});
      }
    }
  }
  if (old_npd_size == new_npd_size)
    copies.push_back({older.fixed_size, newer.fixed_size, old_npd_size});
  // Each step stays inside the fixed part and NPD area on both sides, which
  // every sound old object holds and every new object has.
  const uint64_t old_limit = uint64_t{older.fixed_size} + old_npd_size;
  const uint64_t new_limit = uint64_t{newer.fixed_size} + new_npd_size;
  for (const Copy& copy : merged(std::move(copies))) {
    const Step step = step_of(copy);
    if (!step_within(step, old_limit, new_limit)) {
      why = "a field lies outside the fixed part of its layout";
      return std::nullopt;
    }
    if (step.move == Move::kBlock) {
      c.blocks_.push_back(step.copy);
    } else {
      c.runs_.push_back(step);
    }
  }

  if (newer.size_check) {
    for (const LinearArray& a : c.newer_.arrays) {
      c.pointers_.push_back({a, newer.fields[a.field].offset, newer.fields[a.field].flag_at});
    }
  }
  return c;
}

uint32_t Conversion::count(const unsigned char* old_obj) const {
  return old_count_field_ ? load32(old_obj + *old_count_field_) : 0;
}

// Inlined into both callers: it is most of what sizing an object costs.
[[gnu::always_inline]] inline uint64_t Conversion::sized(const unsigned char* old_obj,
                                                         uint64_t old_bytes, uint32_t* n) const {
  if (old_obj == nullptr || old_bytes < old_fixed_size_) return 0;
  const uint64_t total = load32(old_obj + ZIM_OBJ_TOTAL_SIZE_OFFSET);
  *n = count(old_obj);
  uint64_t old_end, size;
  if (plain_ends_) {  // 32-bit terms and a 32-bit count: no product or sum wraps
    old_end = older_.end_start + uint64_t{*n} * older_.end_per_count;
    size = newer_.end_start + uint64_t{*n} * newer_.end_per_count;
  } else {
    old_end = older_.end(*n);
    size = newer_.end(*n);
  }
  if (old_end > total || total > old_bytes) return 0;
  return size <= UINT32_MAX ? size : 0;
}

uint64_t Conversion::new_size(const unsigned char* old_obj, uint64_t old_bytes) const {
  uint32_t n = 0;
  return sized(old_obj, old_bytes, &n);
}

bool Conversion::convert(const unsigned char* old_obj, uint64_t old_bytes, unsigned char* to,
                         uint64_t new_size) const {
  // The count is read once: the bytes checked are the bytes converted, even
  // were the old object to change meanwhile.
  uint32_t n = 0;
  if (to == nullptr || new_size == 0 || new_size != sized(old_obj, old_bytes, &n)) return false;
  for (const Copy& c : blocks_) copy_bytes(to + c.to, old_obj + c.from, c.size);
  for (const Step& s : runs_) run(s.move, to + s.copy.to, old_obj + s.copy.from, s.copy);
  // Both objects end where their layouts say for this count (new_size()
  // held the old end to the old object and the new one to 32 bits), so no
  // position of an array inside them saturates: plain sums give them.
  for (const ArrayCopy& a : arrays_) {
    const uint64_t from = a.older.start + n * a.older.per_count;
    const uint64_t into = a.newer.start + n * a.newer.per_count;
    const uint64_t from_length = older_.length(a.older, n), into_length = newer_.length(a.newer, n);
    const uint64_t length = std::min(from_length, into_length);
    if (a.move == Move::kBlock) {  // storage and flags, one block
      copy_bytes(to + into, old_obj + from, length * (uint64_t{a.older.width} + 1));
      continue;
    }
    const Copy elements{0, 0, a.older.width, length, a.older.width, a.newer.width};
    const uint64_t at = a.move == Move::kStrided ? widened_at(a.older.width, a.newer.width) : 0;
    run(a.move, to + into + at, old_obj + from, elements);
    copy_bytes(to + into + into_length * a.newer.width,
               old_obj + from + from_length * a.older.width, length);
  }

  // What the type's constructor decides for an object of this count.
  store32(to + ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(new_size));
  to[ZIM_OBJ_FLAGS_OFFSET] =
      static_cast<unsigned char>((to[ZIM_OBJ_FLAGS_OFFSET] & ~ZIM_OBJ_FLAGS_BIT5) |
                                 (sets_obj_flags_bit5_ ? ZIM_OBJ_FLAGS_BIT5 : 0));
  to[new_npd_present_] = new_npd_ ? 1 : 0;
  if (new_count_field_) store32(to + *new_count_field_, n);
  for (const PointerSlots& p : pointers_) {
    const uint64_t length = newer_.length(p.array, n);
    const uint64_t storage = p.array.start + n * p.array.per_count;
    // A counted array without elements has null pointers; a per-NPU one is
    // placed even for N = 0.
    const bool has_storage = p.array.per_npu || length != 0;
    const uintptr_t data = has_storage ? reinterpret_cast<uintptr_t>(to + storage) : 0;
    const uintptr_t flags =
        has_storage ? reinterpret_cast<uintptr_t>(to + storage + length * p.array.width) : 0;
    std::memcpy(to + p.data, &data, sizeof data);
    std::memcpy(to + p.flags, &flags, sizeof flags);
  }
  return true;
}

}  // namespace zim_migration
