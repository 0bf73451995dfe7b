// SPDX-License-Identifier: Apache-2.0
// The thirteen operations that every table type exports, in the order its
// unit defines them. The unit, the type header, the export map and the tools'
// catalogue are all written from this one table, so an operation is added,
// renamed or reordered here and nowhere else.
//
// Texts are templates over the type's values: $(t) the type name, $(T) its
// traits; $(count_param) "uint32_t count" or "void", $(size_params) the size
// pointer with or without the count, $(count_arg) "count" or "0" for the
// templates, $(ctor_arg) "count" or nothing for the constructors, and
// $(ignore_count) a line that marks an unused count, $(alloc) and
// $(alloc_signature) the unit's allocator (kSrvAlloc). In the catalogue's call,
// $(c) passes its uniform count on where the type takes one and $(ignore_c)
// marks it unused where it does not.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tablegen {

struct Operation {
  std::string_view name;    // exported symbol
  std::string_view result;  // C result type
  std::string_view params;  // C parameter list, as the header declares it
  // In the unit: what precedes the definition (comments, the unit's own
  // helpers that the operation calls, attributes), and what follows its
  // signature: a body that instantiates the operation's template, or the
  // alias that makes it a second name of another operation.
  std::string_view unit_before;
  std::string_view unit_body;
  // The catalogue's entry: one signature for every type, then the call.
  std::string_view catalogue_signature;
  std::string_view catalogue_call;
};

// The operations whose checks report them by their prototypes.
inline constexpr size_t kFixPtrs = 0;
inline constexpr size_t kAddDynamicToObjSize = 2;

// Texts that several operations share: parameter lists, and the signatures
// of their catalogue entries.
inline constexpr std::string_view kObjInst = "qor_$(t)_obj_st obj_inst";
inline constexpr std::string_view kSrcDst = "qor_$(t)_obj_st src, qor_$(t)_obj_st dst";
inline constexpr std::string_view kSrc = "qor_$(t)_obj_st src";
inline constexpr std::string_view kTakesObject = "(void* o)";
inline constexpr std::string_view kTakesTwoObjects = "(void* s, void* d)";
inline constexpr std::string_view kCountToObject = "(uint32_t c) -> void*";
inline constexpr std::string_view kObjectToObject = "(void* s) -> void*";

inline constexpr std::array<Operation, 13> kOperations{{
    {"qor_$(t)_fix_ptrs", "void", "uint32_t npd_size, qor_$(t)_obj_st obj_inst", "",
     " {\n  zt::fix_ptrs<$(T)>(npd_size, obj_inst);\n}\n", "(uint32_t npd, void* o)",
     "qor_$(t)_fix_ptrs(npd, static_cast<qor_$(t)_obj_st>(o));"},
    {"zim_$(t)_fix_ptrs_from_base", "void", kObjInst, "",
     " {\n  qor_$(t)_fix_ptrs(qor_npd_get_table_size($(T)::table_id), obj_inst);\n}\n",
     kTakesObject, "zim_$(t)_fix_ptrs_from_base(static_cast<qor_$(t)_obj_st>(o));"},
    {"qor_$(t)_add_dynamic_to_obj_size", "void", "$(size_params)", "",
     " {\n  zt::add_dynamic_to_obj_size<$(T)>(obj_size_ptr, $(count_arg));\n}\n",
     "(uint32_t* p, uint32_t c)", "$(ignore_c)qor_$(t)_add_dynamic_to_obj_size(p$(comma_c));"},
    {"qor_$(t)_get_obj_size", "uint32_t", "$(count_param)", "",
     " {\n  return zt::get_obj_size<$(T)>($(count_arg));\n}\n", "(uint32_t c) -> uint32_t",
     "$(ignore_c)return qor_$(t)_get_obj_size($(c));"},
    {"zim_$(t)_get_wisp_enums", "zim_wisp_enums_t", "void", "", " {\n  return $(T)::wisp;\n}\n",
     "() -> zim_wisp_enums_t", "return zim_$(t)_get_wisp_enums();"},
    {"qor_$(t)_read_dbobj", "void", kSrcDst,
     "// Called, not copied, by the copy routine where the data copy is long.\n"
     "__attribute__((noinline)) ",
     " {\n  zt::read_dbobj<$(T)>(src, dst);\n}\n", kTakesTwoObjects,
     "qor_$(t)_read_dbobj(static_cast<qor_$(t)_obj_st>(s), static_cast<qor_$(t)_obj_st>(d));"},
    {"qor_$(t)_write_dbobj_base", "void", kSrcDst,
     "// Called, not copied, by the copy routine.\n__attribute__((noinline)) ",
     " {\n  zt::copy_base<$(T)>(src, dst);\n}\n", kTakesTwoObjects,
     "qor_$(t)_write_dbobj_base(static_cast<qor_$(t)_obj_st>(s), "
     "static_cast<qor_$(t)_obj_st>(d));"},
    {"qor_$(t)_read_dbobj_base", "void", kSrcDst,
     "// The same operation under its second name: one body, two symbols.\n",
     "\n    __attribute__((alias(\"qor_$(t)_write_dbobj_base\")));\n", kTakesTwoObjects,
     "qor_$(t)_read_dbobj_base(static_cast<qor_$(t)_obj_st>(s), "
     "static_cast<qor_$(t)_obj_st>(d));"},
    {"qor_srv_$(t)_ctor", "srv_$(t)_t", "$(count_param)",
     "// The copy routine's names for the header and data copies. They are bound\n"
     "// inside the unit, so a program's own symbol of an exported name cannot\n"
     "// stand in for them.\n"
     "static void $(t)_copy_headers(qor_$(t)_obj_st src, qor_$(t)_obj_st dst)\n"
     "    __attribute__((alias(\"qor_$(t)_write_dbobj_base\")));\n"
     "static void $(t)_copy_data(qor_$(t)_obj_st src, qor_$(t)_obj_st dst)\n"
     "    __attribute__((alias(\"qor_$(t)_read_dbobj\")));\n"
     "\n"
     "// Written out in each constructor for its own use_shm: no choice at run time\n"
     "// on the path that makes every server object.\n"
     "__attribute__((always_inline)) static inline $(alloc_signature) {\n"
     "  return static_cast<srv_$(t)_t>(zt::srv_alloc<$(T)>(count, use_shm));\n"
     "}\n"
     "\n"
     "// Called, not copied, by the copy routine.\n"
     "__attribute__((noinline)) ",
     " {\n  return $(alloc)($(count_arg), ZIM_FALSE);\n}\n", kCountToObject,
     "$(ignore_c)return qor_srv_$(t)_ctor($(c));"},
    {"zim_srv_$(t)_ctor_with_shm", "srv_$(t)_t", "$(count_param)", "__attribute__((noinline)) ",
     " {\n  return $(alloc)($(count_arg), ZIM_TRUE);\n}\n", kCountToObject,
     "$(ignore_c)return zim_srv_$(t)_ctor_with_shm($(c));"},
    {"zim_$(t)_copy_ctor", "srv_$(t)_t", kSrc,
     "// The copy routine allocates with the constructor for its use_shm.\n"
     "static srv_$(t)_t $(t)_copy_alloc(uint32_t count, zim_bool_t use_shm) {\n"
     "$(ignore_count)  return use_shm ? zim_srv_$(t)_ctor_with_shm($(ctor_arg)) : "
     "qor_srv_$(t)_ctor($(ctor_arg));\n"
     "}\n"
     "\n"
     "// Written out in each copy constructor for its own use_shm, like the\n"
     "// allocator in the constructors: no choice at run time on the copy's path.\n"
     "__attribute__((always_inline)) static inline srv_$(t)_t $(t)_copy(qor_$(t)_obj_st src, "
     "zim_bool_t use_shm) {\n"
     "  return zt::copy<$(T)>(src, use_shm, $(t)_copy_alloc, $(t)_copy_headers, $(t)_copy_data);\n"
     "}\n"
     "\n",
     " {\n  return $(t)_copy(src, ZIM_FALSE);\n}\n", kObjectToObject,
     "return zim_$(t)_copy_ctor(static_cast<qor_$(t)_obj_st>(s));"},
    {"zim_$(t)_copy_ctor_with_shm", "srv_$(t)_t", kSrc, "",
     " {\n  return $(t)_copy(src, ZIM_TRUE);\n}\n", kObjectToObject,
     "return zim_$(t)_copy_ctor_with_shm(static_cast<qor_$(t)_obj_st>(s));"},
    {"zim_$(t)_clnt_copy_dtor", "void", kObjInst, "", " {\n  zt::clnt_copy_dtor(obj_inst);\n}\n",
     kTakesObject, "zim_$(t)_clnt_copy_dtor(static_cast<qor_$(t)_obj_st>(o));"},
}};

// The unit's own allocator, $(alloc_signature) in the constructors' text:
// not exported, but its check reports it by its prototype.
inline constexpr Operation kSrvAlloc{
    "$(t)_srv_alloc", "srv_$(t)_t", "uint32_t count, zim_bool_t use_shm", "", "", "", ""};

}  // namespace tablegen
