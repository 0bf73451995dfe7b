// SPDX-License-Identifier: Apache-2.0
#include "object_model.hpp"

#include <cstdio>

namespace zim_test {

AssertReport fix_ptrs_report(const RefType& t) {
  return {"pointer_fixed_size <= obj_inst->base.total_obj_size", t.unit_path(), t.fix_ptrs_line(),
          "void qor_" + t.name + "_fix_ptrs(uint32_t, qor_" + t.name + "_obj_st)"};
}

AssertReport alloc_report(const RefType& t) {
  return {"obj_inst", t.unit_path(), t.alloc_line,
          "srv_" + t.name + "_t " + t.name + "_srv_alloc(uint32_t, zim_bool_t)"};
}

ObjectLayout expected_layout(const RefType& t, uint32_t npus, uint32_t npd, uint32_t count) {
  ObjectLayout l{uint64_t{t.fixed_size} + npd, {}};
  for (const RefArray& a : t.arrays) {
    PlacedArray p{a, a.per_npu ? npus : count, 0, 0};
    // Per-NPU arrays are placed even when empty; empty counted ones are not.
    if (a.per_npu || count != 0) {
      p.data_at = l.size;
      l.size += p.length * a.elem_size;
      p.flags_at = l.size;
      l.size += p.length;
    }
    l.arrays.push_back(p);
  }
  return l;
}

std::vector<Combo> combos(const RefType& t) {
  std::vector<Combo> all;
  for (uint32_t npus : {0u, 1u, 5u}) {
    for (uint32_t npd : {0u, 7u, 64u}) {
      for (uint32_t count : {0u, 1u, 3u}) {
        if (count == 0 || t.count_field != 0) all.push_back({npus, npd, count});
      }
    }
  }
  return all;
}

std::string describe(const RefType& t, const Combo& c) {
  return t.name + " N=" + std::to_string(c.npus) + " npd=" + std::to_string(c.npd) +
         " count=" + std::to_string(c.count);
}

Bytes fresh_image(const RefType& t, const ObjectLayout& l, const void* base, uint32_t npd,
                  uint32_t count, uint32_t uid) {
  Bytes image(l.size);
  put<uint32_t>(image.data(), ZIM_OBJ_UID_OFFSET, uid);
  image[ZIM_OBJ_FLAGS_OFFSET] = t.sets_bit5 ? ZIM_OBJ_FLAGS_BIT5 : 0;
  put<uint32_t>(image.data(), ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(l.size));
  put<uint16_t>(image.data(), ZIM_OBJ_TABLE_ID_OFFSET, static_cast<uint16_t>(t.id));
  image[ZIM_OBJ_ALLOC_STATE_OFFSET] = 1;
  image[cat(t).npd_present] = npd != 0;
  if (t.count_field != 0) put<uint32_t>(image.data(), t.count_field, count);
  write_pointers(image.data(), l, base);
  return image;
}

void write_pointers(unsigned char* image, const ObjectLayout& l, const void* base) {
  const auto at = [base](uint64_t offset) {
    return offset == 0 ? 0 : reinterpret_cast<uintptr_t>(base) + offset;
  };
  for (const PlacedArray& p : l.arrays) {
    put<uintptr_t>(image, p.field.data_ptr, at(p.data_at));
    put<uintptr_t>(image, p.field.flag_ptr, at(p.flags_at));
  }
}

void copy_headers(Bytes& image, const RefType& t, const void* src) {
  std::memcpy(image.data(), src, ZIM_OBJ_BASE_HEADER_SIZE);
  const auto& c = cat(t);
  for (const auto* h = c.header; h != c.header + c.header_count; ++h) {
    std::memcpy(&image[h->offset], static_cast<const unsigned char*>(src) + h->offset, h->width);
  }
}

void copy_data(Bytes& image, const RefType& t, const void* src, const ObjectLayout& dst) {
  const auto* s = static_cast<const unsigned char*>(src);
  const auto& c = cat(t);
  for (const auto* f = c.fields; f != c.fields + c.field_count; ++f) {
    if (f->kind != zim_tables::catalogue::ItemKind::kInline) continue;
    std::memcpy(&image[f->offset], s + f->offset, uint64_t{f->width} * f->run_length);
    std::memcpy(&image[f->flag_at], s + f->flag_at, f->run_length);
  }
  for (const PlacedArray& p : dst.arrays) {
    const auto* data = reinterpret_cast<const unsigned char*>(get<uintptr_t>(s, p.field.data_ptr));
    const auto* flags = reinterpret_cast<const unsigned char*>(get<uintptr_t>(s, p.field.flag_ptr));
    if (data != nullptr && p.length != 0) {
      std::memcpy(&image[p.data_at], data, p.length * p.field.elem_size);
    }
    if (flags != nullptr && p.length != 0) std::memcpy(&image[p.flags_at], flags, p.length);
  }
}

std::string first_difference(const void* obj, const Bytes& image) {
  const auto* b = static_cast<const unsigned char*>(obj);
  for (size_t i = 0; i < image.size(); ++i) {
    if (b[i] != image[i]) {
      char text[64];
      std::snprintf(text, sizeof text, "byte %zu is 0x%02x, expected 0x%02x", i, b[i], image[i]);
      return text;
    }
  }
  return "";
}

std::string call_trace() {
  std::string trace;
  for (const PlatformCall& c : calls()) {
    const std::string id = std::to_string(c.table_id), size = std::to_string(c.size);
    // N is asked at every use; how often is no concern of these traces.
    if (c.what == PlatformCall::kNpdSize) trace += "npd(" + id + ") ";
    if (c.what == PlatformCall::kUid) trace += "uid ";
    if (c.what == PlatformCall::kPoolCalloc) trace += "pool(" + id + "," + size + ") ";
    if (c.what == PlatformCall::kTableProps) trace += "props(" + id + ") ";
    if (c.what == PlatformCall::kHeapCalloc) trace += "calloc(" + size + ") ";
  }
  if (!trace.empty()) trace.pop_back();
  return trace;
}

}  // namespace zim_test
