// SPDX-License-Identifier: Apache-2.0
// The catalogue of every table type, generated from the definitions for tests
// and tools. The library itself keeps no table of types: this lives in a
// separate static library that only tests and tools link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/shape.hpp"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

namespace zim_tables::catalogue {

// The layout library's records of a layout (codec/shape.hpp).
using zim_codec::FieldShape;
using zim_codec::HeaderField;
using zim_codec::ItemKind;
using zim_codec::TypeClass;

// The accessors of one field (see the type headers) behind one signature for
// every field: `i` is ignored by a single inline field, and values pass as
// the field's width of bytes as the object holds them. length gives an
// inline field's run, an array's count or N.
struct FieldAccessors {
  uint32_t (*length)(void* obj);
  void (*get)(void* obj, uint32_t i, void* value_out);
  void (*set)(void* obj, uint32_t i, const void* value);
  bool (*has)(void* obj, uint32_t i);
  void (*clear)(void* obj, uint32_t i);
};

// One item of a type's field list: the generator's record of its bytes and
// where its presence flags lie. Inline runs are `run_length` fields of `width`
// bytes with `run_length` presence flags from `flag_at`; arrays have an element
// size `width`, a data pointer at `offset` and a flag pointer at `flag_at`.
// `name` is the field's name, or its number in definition order.
struct FieldItem : FieldShape {
  uint32_t flag_at;
  const char* name;
  FieldAccessors access;
};

struct CheckLines {
  uint32_t fix_ptrs;  // 0: no fix-up check
  uint32_t size_ptr;
  uint32_t alloc;
};

// The thirteen operations of a type behind one signature for every type; the
// count is ignored by types that take none.
struct Operations {
  void (*fix_ptrs)(uint32_t npd_size, void* obj);
  void (*fix_ptrs_from_base)(void* obj);
  void (*add_dynamic_to_obj_size)(uint32_t* obj_size_ptr, uint32_t count);
  uint32_t (*get_obj_size)(uint32_t count);
  zim_wisp_enums_t (*get_wisp_enums)();
  void (*read_dbobj)(void* src, void* dst);
  void (*write_dbobj_base)(void* src, void* dst);
  void (*read_dbobj_base)(void* src, void* dst);
  void* (*srv_ctor)(uint32_t count);
  void* (*srv_ctor_with_shm)(uint32_t count);
  void* (*copy_ctor)(void* src);
  void* (*copy_ctor_with_shm)(void* src);
  void (*clnt_copy_dtor)(void* obj);
};

struct TableType {
  const char* name;
  const char* file_name;
  uint32_t table_id;
  TypeClass type_class;
  uint32_t fixed_size;
  uint32_t flags_at;
  uint32_t npd_present;
  uint32_t count_field;  // 0: the type takes no count
  bool size_check;
  bool sets_obj_flags_bit5;
  const HeaderField* header;  // copy order
  uint32_t header_count;
  const FieldItem* fields;  // layout order
  uint32_t field_count;
  zim_wisp_enums_t wisp;
  CheckLines check_lines;
  const char* unit_path;
  const char* fix_ptrs_prototype;  // null without the size check
  const char* size_ptr_prototype;
  const char* alloc_prototype;
  Operations ops;
  void* (*snapshot)(void* obj);  // zim_<type>_snapshot, static inline in its header

  bool takes_count() const { return count_field != 0; }
};

// The exported name of each operation, in the order of `Operations`, with
// "$(t)" standing for the type's name.
extern const char* const operation_names[13];

// All types in table-id order, from the catalogue's first id on:
// types[id - first_table_id].table_id == id (0 for the platform catalogue).
extern const TableType types[];
extern const size_t type_count;
extern const uint32_t first_table_id;

// The type of that table id, or null.
const TableType* by_id(uint32_t table_id);

// The type of that name, or null.
const TableType* find(std::string_view name);

}  // namespace zim_tables::catalogue
