// SPDX-License-Identifier: Apache-2.0
// The conversion of one type's objects from an older layout to a newer one:
// a fixed list of steps, computed once from the two layouts and their field
// pairs, that every object then runs without looking at a layout again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/field_pairing.hpp"
#include "codec/model.hpp"
#include "migrate/object_placement.hpp"

namespace zim_migration {

// `count` blocks of `size` bytes, the i-th from `from + i x from_stride` of
// the old object to `to + i x to_stride` of the new one: a run of fields,
// element by element where they were widened.
struct Copy {
  uint64_t from = 0, to = 0, size = 0;
  uint64_t count = 1, from_stride = 0, to_stride = 0;
};

// How a step moves its bytes, chosen once per plan: a run of elements
// widened between the integer widths is a load and a wider store each,
// anything else byte copies.
enum class Move : uint8_t {
  kBlock,  // `size` bytes, once
  kWiden1To2,
  kWiden1To4,
  kWiden1To8,
  kWiden2To4,
  kWiden2To8,
  kWiden4To8,
  kStrided,  // Copy's blocks one by one
};

// A Copy as convert() runs it.
struct Step {
  Copy copy;  // kWiden*: `to` is the first new element's first byte
  Move move = Move::kBlock;
};

// An array carried into the new object: for an object of count n, its
// elements lie at `start + n x per_count` on each side (LinearArray), and
// move as `move` says (kBlock: with their flags, which follow them).
struct ArrayCopy {
  zim_objects::LinearArray older, newer;
  Move move = Move::kBlock;
};

// Where the new object's layout puts an array's two pointers.
struct PointerSlots {
  zim_objects::LinearArray array;
  uint32_t data = 0, flags = 0;
};

class Conversion {
 public:
  // The steps from `older` to `newer` (pairs from zim_codec::pair_fields over
  // these two layouts) for N and the two NPD sizes. The layouts must pass
  // zim_objects::bounds_problem. Nothing when a step would leave either
  // object's fixed part, which those layouts cannot make it do: then `why`.
  static std::optional<Conversion> compile(const zim_codec::TypeLayout& older,
                                           const zim_codec::TypeLayout& newer,
                                           const std::vector<zim_codec::FieldPair>& pairs,
                                           uint32_t npus, uint32_t old_npd_size,
                                           uint32_t new_npd_size, std::string& why);

  // The new object's size, or 0 when the old object is not sound for the
  // older layout or its new object would not fit 32 bits. Reads only
  // [old_obj, old_obj + old_bytes).
  uint64_t new_size(const unsigned char* old_obj, uint64_t old_bytes) const;

  // Writes the new object at `to` (new_size bytes, zero-filled); false, and
  // nothing written, when new_size is not what new_size() gives.
  bool convert(const unsigned char* old_obj, uint64_t old_bytes, unsigned char* to,
               uint64_t new_size) const;

 private:
  uint32_t count(const unsigned char* old_obj) const;
  // new_size(), and the count it read into *n.
  uint64_t sized(const unsigned char* old_obj, uint64_t old_bytes, uint32_t* n) const;

  uint32_t old_fixed_size_ = 0;
  std::optional<uint32_t> old_count_field_, new_count_field_;
  zim_objects::Placement older_, newer_;
  // The fixed part and NPD area: the blocks, then the runs of elements. No
  // two write the same bytes, so their order does not matter.
  std::vector<Copy> blocks_;
  std::vector<Step> runs_;
  std::vector<ArrayCopy> arrays_;
  std::vector<PointerSlots> pointers_;  // empty when the new layout writes none
  uint32_t new_npd_present_ = 0;
  bool new_npd_ = false;
  bool sets_obj_flags_bit5_ = false;
  bool plain_ends_ = false;  // both layouts' end terms fit 32 bits
};

}  // namespace zim_migration
