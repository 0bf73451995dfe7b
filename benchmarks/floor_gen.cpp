// SPDX-License-Identifier: Apache-2.0
// The floors: for each type, the least an operation of it can do under the
// rules every operation keeps, written from the type's field list. One
// memcpy per maximal run of bytes the rules let move together, the loads,
// platform calls and stores those rules require, and no store that a later
// one overwrites. The rules:
// - the constructors and copies allocate by calloc(1, size) and ask the
//   platform for the NPD size, and for N once per per-NPU array for the size
//   and twice for its layout; each asks for a uid;
// - the header copy moves the base header as one block, then the type
//   header field by field in its order;
// - the data copy stores every inline field before its presence flag and
//   every array's elements before its element flags, leaves the bytes
//   between fields as they are, copies an array as its pointers say (none
//   from a null source) for the destination's count and N.
// Since memcpy stores a block in no promised order, a field and its flag
// never share one; flag runs of different fields may.
#include "floor_gen.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace zim_bench {
namespace {

using Range = std::pair<uint32_t, uint32_t>;  // [first, second)

// The ranges sorted, each maximal run of adjacent ones joined.
std::vector<Range> joined(std::vector<Range> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<Range> runs;
  for (const Range& r : ranges) {
    if (!runs.empty() && runs.back().second == r.first) {
      runs.back().second = r.second;
    } else {
      runs.push_back(r);
    }
  }
  return runs;
}

bool has_kind(const cat::TableType& t, cat::ItemKind kind) {
  for (uint32_t i = 0; i < t.field_count; ++i)
    if (t.fields[i].kind == kind) return true;
  return false;
}

// Whether the header copy that follows the allocation in a copy stores over
// all of [at, at + width): then the allocation's store there is dead.
bool header_copy_covers(const cat::TableType& t, uint32_t at, uint32_t width) {
  if (at + width <= ZIM_OBJ_BASE_HEADER_SIZE) return true;
  for (uint32_t i = 0; i < t.header_count; ++i) {
    const uint32_t from = t.header[i].offset;
    if (at >= from && at + width <= from + t.header[i].width) return true;
  }
  return false;
}

// The stamps of a block fresh from calloc, in the constructor's order. The
// block is zero, so clearing the flags' bit is no store at all. In a copy
// the header copy overwrites the base header: of those stamps only the
// platform's uid call is left.
void emit_floor_stamps(std::FILE* out, const cat::TableType& t, bool header_copy_follows) {
  if (header_copy_follows) {
    std::fprintf(out, "  (void)qor_getuid();\n");
  } else {
    std::fprintf(out,
                 "  uint16_t table_id = %u;\n  memcpy(obj + %u, &table_id, 2);\n"
                 "  memcpy(obj + %u, &size, 4);\n  obj[%u] = 1;\n"
                 "  uint32_t uid = qor_getuid();\n  memcpy(obj + %u, &uid, 4);\n",
                 t.table_id, ZIM_OBJ_TABLE_ID_OFFSET, ZIM_OBJ_TOTAL_SIZE_OFFSET,
                 ZIM_OBJ_ALLOC_STATE_OFFSET, ZIM_OBJ_UID_OFFSET);
    if (t.sets_obj_flags_bit5)
      std::fprintf(out, "  obj[%u] = 0x%x;\n", ZIM_OBJ_FLAGS_OFFSET, ZIM_OBJ_FLAGS_BIT5);
  }
  if (!header_copy_follows || !header_copy_covers(t, t.npd_present, 1))
    std::fprintf(out, "  obj[%u] = npd_size != 0;\n", t.npd_present);
  if (t.takes_count() && (!header_copy_follows || !header_copy_covers(t, t.count_field, 4)))
    std::fprintf(out, "  memcpy(obj + %u, &count, 4);\n", t.count_field);
}

// Points every array that has elements into the packed area; the block is
// zero, so the others are null already.
void emit_floor_layout(std::FILE* out, const cat::TableType& t) {
  std::fprintf(out, "  unsigned char *at = obj + %uu + npd_size;\n", t.fixed_size);
  if (!has_kind(t, cat::ItemKind::kPerNpuArray)) {
    // Every pointer is the area's start plus whole arrays before it.
    std::fprintf(out, "  if (count != 0) {\n");
    uint32_t before = 0;
    for (uint32_t i = 0; i < t.field_count; ++i) {
      const cat::FieldItem& f = t.fields[i];
      if (f.kind == cat::ItemKind::kInline) continue;
      std::fprintf(out, "    put_at(obj + %u, at + count * %uu);\n", f.offset, before);
      std::fprintf(out, "    put_at(obj + %u, at + count * %uu);\n", f.flag_at, before + f.width);
      before += f.width + 1;
    }
    std::fprintf(out, "  }\n");
    return;
  }
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind == cat::ItemKind::kPerNpuArray) {
      std::fprintf(out,
                   "  put_at(obj + %u, at);\n  at += hulcon_config_get_max_num_npus() * %uu;\n"
                   "  put_at(obj + %u, at);\n  at += hulcon_config_get_max_num_npus();\n",
                   f.offset, f.width, f.flag_at);
    } else if (f.kind == cat::ItemKind::kCountedArray) {
      std::fprintf(out,
                   "  if (count != 0) {\n    put_at(obj + %u, at);\n"
                   "    put_at(obj + %u, at + count * %uu);\n  }\n  at += count * %uu;\n",
                   f.offset, f.flag_at, f.width, f.width + 1);
    }
  }
}

// The allocation every constructor and copy makes: the platform's answers,
// calloc (stopping on failure), the stamps and the layout. It leaves out
// every check a constructor may prove needless: the size's overflow and the
// layout's.
void emit_floor_block(std::FILE* out, const cat::TableType& t, const char* name,
                      bool header_copy_follows) {
  std::fprintf(out,
               "\nstatic inline __attribute__((always_inline)) unsigned char *"
               "sf_%s_%s(uint32_t count) {\n",
               t.name, name);
  uint32_t counted = 0;
  for (uint32_t i = 0; i < t.field_count; ++i) {
    if (t.fields[i].kind == cat::ItemKind::kCountedArray) counted += t.fields[i].width + 1;
  }
  std::fprintf(out,
               "  uint32_t npd_size = qor_npd_get_table_size(%u);\n"
               "  uint32_t size = npd_size + %uu + count * %uu;\n",
               t.table_id, t.fixed_size, counted);
  for (uint32_t i = 0; i < t.field_count; ++i) {
    if (t.fields[i].kind == cat::ItemKind::kPerNpuArray)
      std::fprintf(out, "  size += hulcon_config_get_max_num_npus() * %uu;\n",
                   t.fields[i].width + 1);
  }
  std::fprintf(
      out,
      "  unsigned char *obj = calloc(1, size);\n"
      "  if (obj == NULL) __assert_fail(\"obj != NULL\", __FILE__, __LINE__, __func__);\n");
  emit_floor_stamps(out, t, header_copy_follows);
  const bool arrays = counted != 0 || has_kind(t, cat::ItemKind::kPerNpuArray);
  if (t.size_check && arrays) emit_floor_layout(out, t);
  std::fprintf(out, "  (void)count;\n  return obj;\n}\n");
}

// The data copy's floor: each maximal run of inline field bytes, then each
// maximal run of their flags, then the arrays (floor_array_gen.cpp).
void emit_read_floor_body(std::FILE* out, const cat::TableType& t) {
  emit_floor_array_helpers(out, t);
  std::fprintf(out,
               "\nstatic inline __attribute__((always_inline)) void sf_%s_read_floor_body("
               "const unsigned char *src, unsigned char *dst, uint32_t count) {\n",
               t.name);
  if (has_kind(t, cat::ItemKind::kPerNpuArray)) {
    std::fprintf(out, "  uint32_t n = hulcon_config_get_max_num_npus();\n");
  } else {
    std::fprintf(out, "  const uint32_t n = 0;\n  (void)n;\n");
  }
  std::vector<Range> fields, flags;
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind != cat::ItemKind::kInline) continue;
    fields.push_back({f.offset, f.offset + f.width * f.run_length});
    flags.push_back({f.flag_at, f.flag_at + f.run_length});
  }
  for (const Range& r : joined(fields))
    std::fprintf(out, "  floor_block(dst + %u, src + %u, %u);\n", r.first, r.first,
                 r.second - r.first);
  if (!fields.empty()) std::fprintf(out, "  fence();\n");
  for (const Range& r : joined(flags))
    std::fprintf(out, "  floor_block(dst + %u, src + %u, %u);\n", r.first, r.first,
                 r.second - r.first);
  emit_floor_array_moves(out, t);
  std::fprintf(out, "  (void)count;\n}\n");
}

void emit_copy_floor(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  std::fprintf(out,
               "\nvoid *sf_%s_copy_floor(const void *s) {\n"
               "  const unsigned char *src = s;\n"
               "  zim_table_props_t *props = zim_srv_table_props_get(%u);\n",
               n, t.table_id);
  if (t.takes_count()) {
    std::fprintf(out, "  uint32_t count;\n  memcpy(&count, src + %u, 4);\n", t.count_field);
  } else {
    std::fprintf(out, "  const uint32_t count = 0;\n");
  }
  std::fprintf(out, "  unsigned char *copy = sf_%s_copy_floor_block(count);\n", n);
  std::fprintf(out, "  memcpy(copy, src, %u);\n", ZIM_OBJ_BASE_HEADER_SIZE);
  for (uint32_t i = 0; i < t.header_count; ++i) {
    std::fprintf(out, "  memcpy(copy + %u, src + %u, %u);\n", t.header[i].offset,
                 t.header[i].offset, t.header[i].width);
  }
  std::fprintf(out,
               "  sf_%s_read_floor_body(src, copy, count);\n"
               "  if (props->copy_hooks_on) {\n    props->copy_shm_hook(copy, ZIM_FALSE);\n"
               "    props->copy_src_hook(copy, (void *)src);\n  }\n  return copy;\n}\n",
               n);
}

}  // namespace

// Each array's run moved by the fewest moves its length allows: up to 32
// bytes by two overlapping moves, as the library moves short arrays, where a
// call of memcpy costs more than the bytes.
const char* const kFloorPrologue =
    "/* Generated by zim_tables_straightforward_gen; do not edit. */\n"
    "#include <stdint.h>\n#include <stdlib.h>\n#include <string.h>\n\n"
    "#include \"straightforward.h\"\n#include \"zim/tables/platform.h\"\n\n"
    "void __assert_fail(const char *, const char *, unsigned int, const char *)\n"
    "    __attribute__((__noreturn__));\n\n"
    "static void put_at(unsigned char *at, unsigned char *p) { memcpy(at, &p, 8); }\n\n"
    "/* No store after it is made before the stores before it (no instruction on x86-64). */\n"
    "static inline __attribute__((always_inline)) void fence(void) {\n"
    "  __asm__ volatile(\"\" : : : \"memory\");\n}\n\n"
    "#define MOVE_ENDS(w)                                              \\\n"
    "  do {                                                           \\\n"
    "    unsigned char head[w], tail[w];                              \\\n"
    "    memcpy(head, from, w);                                       \\\n"
    "    memcpy(tail, from + n - w, w);                               \\\n"
    "    memcpy(to, head, w);                                         \\\n"
    "    memcpy(to + n - w, tail, w);                                 \\\n"
    "  } while (0)\n\n"
    "static inline __attribute__((always_inline)) void floor_move(unsigned char *to, "
    "const unsigned char *from, uint64_t n) {\n"
    "  if (n > 32) memcpy(to, from, n);\n"
    "  else if (n >= 16) MOVE_ENDS(16);\n  else if (n >= 8) MOVE_ENDS(8);\n"
    "  else if (n >= 4) MOVE_ENDS(4);\n  else if (n >= 2) MOVE_ENDS(2);\n"
    "  else if (n == 1) to[0] = from[0];\n}\n\n"
    "/* A block of known width, moved as the compiler moves it best: inline up to\n"
    " * 256 bytes, in two inline pieces up to 384 and by a call of memcpy beyond,\n"
    " * where the compiler would choose a string move that costs more to start. */\n"
    "static inline __attribute__((always_inline)) void floor_block(unsigned char *to, "
    "const unsigned char *from, size_t n) {\n"
    "  if (n > 384) {\n    size_t bytes = n;\n    __asm__(\"\" : \"+r\"(bytes));\n"
    "    memcpy(to, from, bytes);\n"
    "  } else if (n > 256) {\n    memcpy(to, from, 256);\n"
    "    memcpy(to + 256, from + 256, n - 256);\n"
    "  } else {\n    memcpy(to, from, n);\n  }\n}\n\n"
    "static inline __attribute__((always_inline)) void floor_array(const unsigned char "
    "*src_field, unsigned char *dst_field, uint64_t length) {\n"
    "  const unsigned char *from;\n  unsigned char *to;\n"
    "  memcpy(&from, src_field, 8);\n  memcpy(&to, dst_field, 8);\n"
    "  if (from != NULL) floor_move(to, from, length);\n}\n";

void emit_floor_declarations(std::FILE* out, const cat::TableType& t) {
  std::fprintf(out,
               "\nvoid *sf_%s_ctor_floor(%s);\nvoid sf_%s_read_floor(const void *s, void *d);\n"
               "void *sf_%s_copy_floor(const void *s);\n",
               t.name, count_parameter(t), t.name, t.name);
}

const char* count_parameter(const cat::TableType& t) {
  return t.takes_count() ? "uint32_t count" : "void";
}

void emit_floors(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  emit_floor_block(out, t, "ctor_floor_block", false);
  std::fprintf(out, "\nvoid *sf_%s_ctor_floor(%s) {\n  return sf_%s_ctor_floor_block(%s);\n}\n", n,
               count_parameter(t), n, t.takes_count() ? "count" : "0");
  emit_read_floor_body(out, t);
  std::fprintf(out, "\nvoid sf_%s_read_floor(const void *s, void *d) {\n", n);
  if (t.takes_count()) {
    // The destination was laid out for its own count: that count governs.
    std::fprintf(out, "  uint32_t count;\n  memcpy(&count, (const unsigned char *)d + %u, 4);\n",
                 t.count_field);
  } else {
    std::fprintf(out, "  const uint32_t count = 0;\n");
  }
  std::fprintf(out, "  sf_%s_read_floor_body(s, d, count);\n}\n", n);
  emit_floor_block(out, t, "copy_floor_block", true);
  emit_copy_floor(out, t);
}

}  // namespace zim_bench
