// SPDX-License-Identifier: Apache-2.0
// The arrays of the data copy's floor. An array's elements go before its
// element flags, as its pointers say. Where the source's arrays lie at one
// distance from the destination's (whose pointers are its own packed layout),
// the dynamic area is one stretch of bytes, and the runs that may move
// together are [elements 1], [flags 1, elements 2], ..., [flags k]: one move
// each, after the loads and the test that prove it. Any other source goes
// array by array, out of line. An empty counted array moves nothing, so at a
// count of 0 only the per-NPU arrays go.
#include <cstdint>
#include <string>
#include <vector>

#include "floor_gen.hpp"

namespace zim_bench {
namespace {

std::vector<const cat::FieldItem*> arrays_of(const cat::TableType& t, bool with_counted) {
  std::vector<const cat::FieldItem*> arrays;
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind == cat::ItemKind::kPerNpuArray ||
        (with_counted && f.kind == cat::ItemKind::kCountedArray))
      arrays.push_back(&f);
  }
  return arrays;
}

const char* length_of(const cat::FieldItem& f) {
  return f.kind == cat::ItemKind::kPerNpuArray ? "n" : "count";
}

void emit_each(std::FILE* out, const std::vector<const cat::FieldItem*>& arrays,
               const char* indent) {
  for (const cat::FieldItem* f : arrays) {
    std::fprintf(out,
                 "%sfloor_array(src + %u, dst + %u, (uint64_t)%s * %uu);\n%sfence();\n"
                 "%sfloor_array(src + %u, dst + %u, %s);\n",
                 indent, f->offset, f->offset, length_of(*f), f->width, indent, indent, f->flag_at,
                 f->flag_at, length_of(*f));
  }
}

// The proof that every source pointer lies at the destination's distance,
// then one move per stretch.
void emit_stretches(std::FILE* out, const std::vector<const cat::FieldItem*>& arrays,
                    const char* each) {
  const uint32_t first = arrays.front()->offset;
  std::fprintf(out,
               "    uintptr_t from, to, s, d, differs = 0;\n"
               "    memcpy(&from, src + %u, 8);\n    memcpy(&to, dst + %u, 8);\n",
               first, first);
  for (const cat::FieldItem* f : arrays) {
    for (const uint32_t slot : {f->offset, f->flag_at}) {
      if (slot == first) continue;
      std::fprintf(out,
                   "    memcpy(&s, src + %u, 8);\n    memcpy(&d, dst + %u, 8);\n"
                   "    differs |= (s - d) ^ (from - to);\n",
                   slot, slot);
    }
  }
  std::fprintf(out, "    if (from == 0 || differs != 0) {\n      %s(src, dst, n, count);\n", each);
  std::fprintf(out,
               "      return;\n    }\n    const unsigned char *a = (const unsigned char *)from;\n"
               "    unsigned char *b = (unsigned char *)to;\n    uint64_t start = 0, at = 0;\n");
  for (const cat::FieldItem* f : arrays) {
    std::fprintf(
        out,
        "    at += (uint64_t)%s * %uu;\n    floor_move(b + start, a + start, at - start);\n"
        "    fence();\n    start = at;\n    at += %s;\n",
        length_of(*f), f->width, length_of(*f));
  }
  std::fprintf(out, "    floor_move(b + start, a + start, at - start);\n");
}

}  // namespace

void emit_floor_array_helpers(std::FILE* out, const cat::TableType& t) {
  const std::vector<const cat::FieldItem*> arrays = arrays_of(t, true);
  if (arrays.size() < 2) return;
  std::fprintf(out,
               "\nstatic __attribute__((noinline, cold)) void sf_%s_floor_each_array("
               "const unsigned char *src, unsigned char *dst, uint32_t n, uint32_t count) {\n",
               t.name);
  emit_each(out, arrays, "  ");
  std::fprintf(out, "  (void)n;\n  (void)count;\n}\n");
}

void emit_floor_array_moves(std::FILE* out, const cat::TableType& t) {
  const std::vector<const cat::FieldItem*> arrays = arrays_of(t, true);
  if (arrays.empty()) return;
  if (arrays.size() == 1) {
    emit_each(out, arrays, "  ");
    return;
  }
  const std::string each = std::string("sf_") + t.name + "_floor_each_array";
  const bool counted = t.takes_count();
  const std::vector<const cat::FieldItem*> per_npu = arrays_of(t, false);
  if (counted) {
    std::fprintf(out, "  if (count == 0) {\n");
    emit_each(out, per_npu, "    ");
    std::fprintf(out, "    return;\n  }\n");
  }
  std::fprintf(out, "  {\n");
  emit_stretches(out, arrays, each.c_str());
  std::fprintf(out, "  }\n");
}

}  // namespace zim_bench
