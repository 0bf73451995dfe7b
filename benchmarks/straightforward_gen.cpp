// SPDX-License-Identifier: Apache-2.0
// Writes the straightforward build of the measured operations: plain C,
// one copy per field and per presence flag, arrays through their pointers
// with a null test each, one 64-bit cursor in the fix-up, 32-bit sizing, a
// constructor that stamps the header field by field and a copy constructor
// made of the constructor, the header copy and the data copy. It is what the
// generated units are held against, so it stays as plain as a first
// implementation would be.
//
// The floors go to a file of their own (floor_gen.cpp).
//
//   zim_tables_straightforward_gen OUT.c FLOORS.c [TYPE...]    (no TYPE: every type)
#include <cstdio>
#include <string>
#include <vector>

#include "floor_gen.hpp"
#include "zim/tables/catalogue.hpp"

namespace {

namespace cat = zim_tables::catalogue;
using zim_bench::count_parameter;

void emit_read_dbobj(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  const bool counted = t.count_field != 0;
  std::fprintf(out, "\nstatic void sf_%s_read_dbobj(const void *s, void *d) {\n", n);
  std::fprintf(out, "  const unsigned char *src = s;\n  unsigned char *dst = d;\n");
  if (counted)
    std::fprintf(out, "  uint32_t count;\n  memcpy(&count, dst + %u, 4);\n", t.count_field);
  bool npus = false;
  for (uint32_t i = 0; i < t.field_count; ++i) {
    npus = npus || t.fields[i].kind == cat::ItemKind::kPerNpuArray;
  }
  if (npus) std::fprintf(out, "  uint32_t n = hulcon_config_get_max_num_npus();\n");
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind == cat::ItemKind::kInline) {
      for (uint32_t k = 0; k < f.run_length; ++k) {
        std::fprintf(out, "  memcpy(dst + %u, src + %u, %u);\n  dst[%u] = src[%u];\n",
                     f.offset + k * f.width, f.offset + k * f.width, f.width, f.flag_at + k,
                     f.flag_at + k);
      }
      continue;
    }
    const char* len = f.kind == cat::ItemKind::kPerNpuArray ? "n" : "count";
    std::fprintf(out, "  copy_array(src + %u, dst + %u, (uint64_t)%s * %u);\n", f.offset, f.offset,
                 len, f.width);
    std::fprintf(out, "  copy_array(src + %u, dst + %u, %s);\n", f.flag_at, f.flag_at, len);
  }
  std::fprintf(out, "}\n");
}

// Points the arrays into the packed area in field order, each per-NPU one
// asking N for its data and again for its flags, by a 64-bit offset
// `cursor`; nulls the counted arrays of a count of 0.
void emit_array_walk(std::FILE* out, const cat::TableType& t) {
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind == cat::ItemKind::kPerNpuArray) {
      std::fprintf(out,
                   "  put(obj + %u, obj, cursor);\n"
                   "  cursor += (uint64_t)hulcon_config_get_max_num_npus() * %u;\n"
                   "  put(obj + %u, obj, cursor);\n"
                   "  cursor += hulcon_config_get_max_num_npus();\n",
                   f.offset, f.width, f.flag_at);
    } else if (f.kind == cat::ItemKind::kCountedArray) {
      std::fprintf(out,
                   "  if (count != 0) {\n"
                   "    put(obj + %u, obj, cursor);\n    cursor += (uint64_t)count * %u;\n"
                   "    put(obj + %u, obj, cursor);\n    cursor += count;\n"
                   "  } else {\n    put_null(obj + %u);\n    put_null(obj + %u);\n  }\n",
                   f.offset, f.width, f.flag_at, f.offset, f.flag_at);
    }
  }
}

void emit_fix_ptrs(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  const bool counted = t.count_field != 0;
  std::fprintf(out, "\nstatic void sf_%s_fix_ptrs(uint32_t npd_size, void *o) {\n", n);
  if (t.size_check) {
    std::fprintf(out, "  unsigned char *obj = o;\n  uint64_t cursor = %uu + (uint64_t)npd_size;\n",
                 t.fixed_size);
    if (counted)
      std::fprintf(out, "  uint32_t count;\n  memcpy(&count, obj + %u, 4);\n", t.count_field);
    emit_array_walk(out, t);
    std::fprintf(out, "  check(cursor, obj);\n");
  } else {
    std::fprintf(out, "  (void)npd_size;\n  (void)o;\n");
  }
  std::fprintf(out, "}\n");
}

void emit_get_obj_size(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  std::fprintf(out, "\nstatic uint32_t sf_%s_get_obj_size(%s) {\n", n, count_parameter(t));
  std::fprintf(out, "  uint32_t size = qor_npd_get_table_size(%u) + %u;\n", t.table_id,
               t.fixed_size);
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind == cat::ItemKind::kPerNpuArray) {
      std::fprintf(out, "  size += hulcon_config_get_max_num_npus() * %u;\n", f.width + 1);
    } else if (f.kind == cat::ItemKind::kCountedArray) {
      std::fprintf(out, "  size += count * %u;\n", f.width + 1);
    }
  }
  std::fprintf(out, "%s  return size;\n}\n", t.takes_count() ? "  (void)count;\n" : "");
}

// The allocator's stamps after a successful allocation, in its order with
// the uid among them; `size` names the emitted u32 object size.
void emit_stamps(std::FILE* out, const cat::TableType& t, const char* size) {
  std::fprintf(out,
               "  uint16_t table_id = %u;\n  memcpy(obj + %u, &table_id, 2);\n"
               "  memcpy(obj + %u, &%s, 4);\n  obj[%u] = 1;\n"
               "  uint32_t uid = qor_getuid();\n  memcpy(obj + %u, &uid, 4);\n",
               t.table_id, ZIM_OBJ_TABLE_ID_OFFSET, ZIM_OBJ_TOTAL_SIZE_OFFSET, size,
               ZIM_OBJ_ALLOC_STATE_OFFSET, ZIM_OBJ_UID_OFFSET);
  if (t.sets_obj_flags_bit5) {
    std::fprintf(out, "  obj[%u] |= 0x%x;\n", ZIM_OBJ_FLAGS_OFFSET, ZIM_OBJ_FLAGS_BIT5);
  } else {
    std::fprintf(out, "  obj[%u] &= 0x%x;\n", ZIM_OBJ_FLAGS_OFFSET, ~ZIM_OBJ_FLAGS_BIT5 & 0xffu);
  }
  std::fprintf(out, "  obj[%u] = npd_size != 0;\n", t.npd_present);
  if (t.takes_count()) std::fprintf(out, "  memcpy(obj + %u, &count, 4);\n", t.count_field);
}

void emit_srv_ctor(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  std::fprintf(out, "\nstatic void *sf_%s_srv_ctor(%s) {\n", n, count_parameter(t));
  if (!t.takes_count()) std::fprintf(out, "  uint32_t count = 0;\n");
  std::fprintf(out,
               "  uint32_t npd_size = qor_npd_get_table_size(%u);\n"
               "  uint64_t size = (uint64_t)npd_size + %u;\n",
               t.table_id, t.fixed_size);
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.kind == cat::ItemKind::kPerNpuArray) {
      std::fprintf(out, "  size += (uint64_t)hulcon_config_get_max_num_npus() * %u;\n",
                   f.width + 1);
    } else if (f.kind == cat::ItemKind::kCountedArray) {
      std::fprintf(out, "  size += (uint64_t)count * %u;\n", f.width + 1);
    }
  }
  std::fprintf(out,
               "  if (size > UINT32_MAX)\n"
               "    __assert_fail(\"size <= UINT32_MAX\", __FILE__, __LINE__, __func__);\n"
               "  unsigned char *obj = calloc(1, size);\n"
               "  if (obj == NULL) __assert_fail(\"obj != NULL\", __FILE__, __LINE__, __func__);\n"
               "  uint32_t total = (uint32_t)size;\n");
  emit_stamps(out, t, "total");
  if (t.size_check) std::fprintf(out, "  sf_%s_fix_ptrs(npd_size, obj);\n", n);
  std::fprintf(out, "  (void)count;\n  return obj;\n}\n");
}

void emit_write_dbobj_base(std::FILE* out, const cat::TableType& t) {
  std::fprintf(out,
               "\nstatic void sf_%s_write_dbobj_base(const void *s, void *d) {\n"
               "  const unsigned char *src = s;\n  unsigned char *dst = d;\n"
               "  memcpy(dst, src, %u);\n",
               t.name, ZIM_OBJ_BASE_HEADER_SIZE);
  for (uint32_t i = 0; i < t.header_count; ++i) {
    std::fprintf(out, "  memcpy(dst + %u, src + %u, %u);\n", t.header[i].offset, t.header[i].offset,
                 t.header[i].width);
  }
  std::fprintf(out, "}\n");
}

void emit_copy_ctor(std::FILE* out, const cat::TableType& t) {
  const char* n = t.name;
  std::fprintf(out,
               "\nstatic void *sf_%s_copy_ctor(const void *s) {\n"
               "  const unsigned char *src = s;\n"
               "  zim_table_props_t *props = zim_srv_table_props_get(%u);\n",
               n, t.table_id);
  if (t.takes_count()) {
    std::fprintf(out,
                 "  uint32_t count;\n  memcpy(&count, src + %u, 4);\n"
                 "  void *copy = sf_%s_srv_ctor(count);\n",
                 t.count_field, n);
  } else {
    std::fprintf(out, "  void *copy = sf_%s_srv_ctor();\n", n);
  }
  std::fprintf(out,
               "  sf_%s_write_dbobj_base(src, copy);\n  sf_%s_read_dbobj(src, copy);\n"
               "  if (props->copy_hooks_on) {\n    props->copy_shm_hook(copy, ZIM_FALSE);\n"
               "    props->copy_src_hook(copy, (void *)src);\n  }\n  return copy;\n}\n",
               n, n);
}

// The entry of a type in the table of operations: the functions that take a
// count in a counted type go in the fields without the suffix, the others in
// those with it.
std::string ops_entry(const cat::TableType& t) {
  const std::string n = t.name, sf = "sf_" + n + "_";
  const std::string with_count = sf + "get_obj_size, " + sf + "srv_ctor, " + sf + "ctor_floor";
  const std::string counted = t.takes_count() ? with_count : "0, 0, 0";
  const std::string plain = t.takes_count() ? "0, 0, 0" : with_count;
  return "    {\"" + n + "\", " + sf + "read_dbobj, " + sf + "fix_ptrs, " + counted + ", " + plain +
         ", " + sf + "write_dbobj_base, " + sf + "copy_ctor, " + sf + "copy_floor, sf_release, " +
         sf + "read_floor},\n";
}

constexpr const char* kPrologue =
    "/* Generated by zim_tables_straightforward_gen; do not edit. */\n"
    "#include <stdint.h>\n#include <stdlib.h>\n#include <string.h>\n\n"
    "#include \"straightforward.h\"\n#include \"zim/tables/platform.h\"\n\n"
    "void __assert_fail(const char *, const char *, unsigned int, const char *)\n"
    "    __attribute__((__noreturn__));\n\n"
    "static void copy_array(const unsigned char *src_field, unsigned char "
    "*dst_field, uint64_t length) {\n"
    "  const unsigned char *from;\n  unsigned char *to;\n"
    "  memcpy(&from, src_field, 8);\n  memcpy(&to, dst_field, 8);\n"
    "  if (from != NULL) memcpy(to, from, length);\n}\n\n"
    "static void put(unsigned char *at, unsigned char *obj, uint64_t offset) {\n"
    "  unsigned char *p = obj + offset;\n  memcpy(at, &p, 8);\n}\n\n"
    "static void put_null(unsigned char *at) { memset(at, 0, 8); }\n\n"
    "static void check(uint64_t pointer_fixed_size, const unsigned char *obj) {\n"
    "  uint32_t total;\n  memcpy(&total, obj + 168, 4);\n"
    "  if (pointer_fixed_size > total)\n"
    "    __assert_fail(\"pointer_fixed_size <= total\", __FILE__, __LINE__, "
    "__func__);\n}\n\n"
    "static void sf_release(void *obj) {\n"
    "  if (obj == NULL) return;\n"
    "  *(volatile uint64_t *)((unsigned char *)obj + 144) = 0xdeadfeeeull;\n"
    "  free(obj);\n}\n";

// Opens a file to write, or says why not.
std::FILE* open_out(const char* path) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) std::perror(path);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT.c FLOORS.c [TYPE...]\n", argv[0]);
    return 2;
  }
  std::vector<const cat::TableType*> types;
  for (int i = 3; i < argc; ++i) {
    types.push_back(cat::find(argv[i]));
    if (types.back() == nullptr) {
      std::fprintf(stderr, "%s: no type %s\n", argv[0], argv[i]);
      return 1;
    }
  }
  for (size_t i = 0; argc == 3 && i < cat::type_count; ++i) types.push_back(&cat::types[i]);
  std::FILE* out = open_out(argv[1]);
  std::FILE* floors = open_out(argv[2]);
  if (out == nullptr || floors == nullptr) return 1;
  std::fputs(kPrologue, out);
  std::fputs(zim_bench::kFloorPrologue, floors);
  std::string table;
  for (const cat::TableType* t : types) {
    emit_read_dbobj(out, *t);
    emit_fix_ptrs(out, *t);
    emit_get_obj_size(out, *t);
    emit_srv_ctor(out, *t);
    emit_write_dbobj_base(out, *t);
    emit_copy_ctor(out, *t);
    zim_bench::emit_floor_declarations(out, *t);
    zim_bench::emit_floors(floors, *t);
    table += ops_entry(*t);
  }
  std::fprintf(out,
               "\nconst struct sf_operations *sf_find(const char *name) {\n"
               "  static const struct sf_operations ops[] = {\n%s  };\n"
               "  for (size_t i = 0; i < sizeof ops / sizeof ops[0]; ++i)\n"
               "    if (strcmp(ops[i].name, name) == 0) return &ops[i];\n"
               "  return NULL;\n}\n",
               table.c_str());
  const bool written = std::fclose(floors) == 0;
  return std::fclose(out) == 0 && written ? 0 : 1;
}
