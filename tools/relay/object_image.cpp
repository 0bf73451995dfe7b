// SPDX-License-Identifier: Apache-2.0
// Pointers to offsets and back, for every array of a layout's placement.
#include "object_image.hpp"

#include <zim/tables/table_object.h>

#include <cstring>
#include <optional>

namespace zim_relay {
namespace {

uint64_t load_u64(const Bytes& bytes, uint64_t at) {
  uint64_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

void store_u64(Bytes& bytes, uint64_t at, uint64_t value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// One pointer slot and the offset its pointer must name.
struct Slot {
  uint32_t at;
  uint64_t target;
  bool empty;  // an empty array: the pointer is null
};

template <typename Rewrite>
bool rewrite_slots(const zim_codec::TypeLayout& type, const ImageFrame& frame, Bytes& bytes,
                   Rewrite rewrite, std::string& why) {
  for (const zim_objects::PlacedArray& a : frame.map.arrays) {
    const zim_codec::FieldLayout& f = type.fields[a.field];
    const Slot slots[2] = {{f.offset, a.storage, a.length == 0},
                           {f.flag_at, a.flags, a.length == 0}};
    for (const Slot& s : slots) {
      const uint64_t value = load_u64(bytes, s.at);
      uint64_t replaced = 0;
      if (!rewrite(s, value, replaced)) {
        why = "the pointer at offset " + std::to_string(s.at) + " does not name offset " +
              std::to_string(s.target) + " of the object";
        return false;
      }
      store_u64(bytes, s.at, replaced);
    }
  }
  return true;
}

}  // namespace

bool frame_object(const zim_codec::TypeLayout& type, zim_objects::Sizing sizing, const Bytes& bytes,
                  ImageFrame& frame, std::string& why) {
  if (const auto outside = zim_objects::bounds_problem(type)) {
    why = "its layout is unusable: " + *outside;
    return false;
  }
  if (bytes.size() < type.fixed_size) {
    why = "it holds fewer bytes than its fixed size " + std::to_string(type.fixed_size);
    return false;
  }
  if (type.count_field) {
    uint32_t count;
    std::memcpy(&count, bytes.data() + *type.count_field, sizeof count);
    sizing.count = count;
  }
  frame.sizing = sizing;
  frame.map = zim_objects::place(type, sizing);
  frame.end = frame.map.end;
  if (frame.end > bytes.size()) {
    why = "its layout needs " + std::to_string(frame.end) + " bytes, beyond its " +
          std::to_string(bytes.size());
    return false;
  }
  uint32_t total;
  std::memcpy(&total, bytes.data() + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof total);
  if (total != frame.end) {
    why = "its total_obj_size " + std::to_string(total) + " is not its layout's " +
          std::to_string(frame.end);
    return false;
  }
  return true;
}

bool to_image(const zim_codec::TypeLayout& type, const ImageFrame& frame, Bytes& bytes,
              std::string& why) {
  bytes.resize(frame.end);
  // The object's address in the mapping of the process that wrote its
  // pointers, which need not be this process's: the first non-empty array
  // tells it, and every other pointer must agree.
  std::optional<uint64_t> base;
  const auto relative = [&base](const Slot& s, uint64_t value, uint64_t& out) {
    out = s.empty ? 0 : s.target;
    if (s.empty) return value == 0;
    if (!base) base = value - s.target;
    return value == *base + s.target;
  };
  return rewrite_slots(type, frame, bytes, relative, why);
}

bool from_image(const zim_codec::TypeLayout& type, const ImageFrame& frame, uint64_t address,
                Bytes& bytes, std::string& why) {
  if (bytes.size() != frame.end) {
    why = "the image holds " + std::to_string(bytes.size()) + " bytes, its layout " +
          std::to_string(frame.end);
    return false;
  }
  const auto absolute = [address](const Slot& s, uint64_t value, uint64_t& out) {
    out = s.empty ? 0 : address + s.target;
    return value == (s.empty ? 0 : s.target);
  };
  return rewrite_slots(type, frame, bytes, absolute, why);
}

}  // namespace zim_relay
