// SPDX-License-Identifier: Apache-2.0
#include "migrate/conversion.hpp"

#include <algorithm>
#include <cstring>

#include "zim/tables/table_object.h"

namespace zim_migration {

using tablegen::FieldLayout;
using tablegen::FieldPair;
using tablegen::ItemKind;
using tablegen::TypeLayout;
using zim_objects::LinearArray;
using zim_objects::PlacedArray;

namespace {

// A value widened keeps its low-order bytes: first on a little-endian host,
// last on a big-endian one; the bytes above them stay zero.
constexpr bool kBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
uint64_t widened_at(uint32_t old_width, uint32_t new_width) {
  return kBigEndian && new_width > old_width ? new_width - old_width : 0;
}

uint32_t load32(const unsigned char* at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void store32(unsigned char* at, uint32_t v) { std::memcpy(at, &v, sizeof v); }

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
uint64_t copy_end(uint64_t start, uint64_t stride, const Copy& c) {
  uint64_t end;
  if (__builtin_mul_overflow(c.count - 1, stride, &end) ||
      __builtin_add_overflow(end, start, &end) || __builtin_add_overflow(end, c.size, &end)) {
    return UINT64_MAX;
  }
  return end;
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
      if (a != nullptr && b != nullptr) c.arrays_.push_back({*a, *b});
    }
  }
  if (old_npd_size == new_npd_size)
    copies.push_back({older.fixed_size, newer.fixed_size, old_npd_size});
  c.copies_ = merged(std::move(copies));

  // Each copy stays inside the fixed part and NPD area on both sides, which
  // every sound old object holds and every new object has.
  const uint64_t old_limit = uint64_t{older.fixed_size} + old_npd_size;
  const uint64_t new_limit = uint64_t{newer.fixed_size} + new_npd_size;
  for (const Copy& copy : c.copies_) {
    if (copy_end(copy.from, copy.from_stride, copy) > old_limit ||
        copy_end(copy.to, copy.to_stride, copy) > new_limit) {
      why = "a field lies outside the fixed part of its layout";
      return std::nullopt;
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

uint64_t Conversion::new_size(const unsigned char* old_obj, uint64_t old_bytes) const {
  if (old_obj == nullptr || old_bytes < old_fixed_size_) return 0;
  const uint64_t total = load32(old_obj + ZIM_OBJ_TOTAL_SIZE_OFFSET);
  const uint32_t n = count(old_obj);
  if (older_.end(n) > total || total > old_bytes) return 0;
  const uint64_t size = newer_.end(n);
  return size <= UINT32_MAX ? size : 0;
}

bool Conversion::convert(const unsigned char* old_obj, uint64_t old_bytes, unsigned char* to,
                         uint64_t new_size) const {
  if (to == nullptr || new_size == 0 || new_size != this->new_size(old_obj, old_bytes)) {
    return false;
  }
  const uint32_t n = count(old_obj);
  for (const Copy& c : copies_) {
    if (c.count == 1) {
      std::memcpy(to + c.to, old_obj + c.from, c.size);
      continue;
    }
    for (uint64_t i = 0; i < c.count; ++i) {
      std::memcpy(to + c.to + i * c.to_stride, old_obj + c.from + i * c.from_stride, c.size);
    }
  }
  for (const ArrayCopy& a : arrays_) {
    const PlacedArray from = older_.at(a.older, n), into = newer_.at(a.newer, n);
    const uint64_t length = std::min(from.length, into.length);
    if (a.older.width == a.newer.width) {  // storage and flags, one block
      std::memcpy(to + into.storage, old_obj + from.storage,
                  length * (uint64_t{a.older.width} + 1));
      continue;
    }
    const uint32_t width = std::min(a.older.width, a.newer.width);
    const uint64_t at = widened_at(a.older.width, a.newer.width);
    for (uint64_t i = 0; i < length; ++i) {
      std::memcpy(to + into.storage + i * a.newer.width + at,
                  old_obj + from.storage + i * a.older.width, width);
    }
    std::memcpy(to + into.flags, old_obj + from.flags, length);
  }

  // What the type's constructor decides for an object of this count.
  store32(to + ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(new_size));
  to[ZIM_OBJ_FLAGS_OFFSET] =
      static_cast<unsigned char>((to[ZIM_OBJ_FLAGS_OFFSET] & ~ZIM_OBJ_FLAGS_BIT5) |
                                 (sets_obj_flags_bit5_ ? ZIM_OBJ_FLAGS_BIT5 : 0));
  to[new_npd_present_] = new_npd_ ? 1 : 0;
  if (new_count_field_) store32(to + *new_count_field_, n);
  for (const PointerSlots& p : pointers_) {
    const PlacedArray a = newer_.at(p.array, n);
    // A counted array without elements has null pointers; a per-NPU one is
    // placed even for N = 0.
    const bool has_storage = p.array.per_npu || a.length != 0;
    const uintptr_t data = has_storage ? reinterpret_cast<uintptr_t>(to + a.storage) : 0;
    const uintptr_t flags = has_storage ? reinterpret_cast<uintptr_t>(to + a.flags) : 0;
    std::memcpy(to + p.data, &data, sizeof data);
    std::memcpy(to + p.flags, &flags, sizeof flags);
  }
  return true;
}

}  // namespace zim_migration
