// SPDX-License-Identifier: Apache-2.0
// The public header of one type: its object types, offset constants and the
// declarations of its thirteen operations, its snapshot, its fields' accessors
// and what the C++ handles call.
#include "gen/emit/emit_type_header.hpp"

#include <string>

#include "gen/emit/emit_accessors.hpp"
#include "gen/emit/emit_layout_note.hpp"
#include "gen/emit/emit_offset_constants.hpp"
#include "gen/emit/type_vars.hpp"
#include "gen/names/constant_names.hpp"

namespace tablegen {
namespace {

constexpr const char* kHeader = R"tpl(#ifndef $(GUARD)
#define $(GUARD)

#include <stdint.h>

#include "zim/tables/accessors.h"
#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"
#include "zim/tables/whole_reads.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A table object of type $(t) (table id $(table_id)): a pointer to its first byte. */
typedef struct qor_$(t)_obj *qor_$(t)_obj_st;
typedef struct qor_$(t)_obj *srv_$(t)_t;

#define $(TABLE_ID) $(table_id)u
#define $(FIXED_SIZE) $(fixed_size)u
$(offset_constants)
/* Ownership: a server object from qor_srv_$(t)_ctor is a heap block that its
 * creator frees with free(); a heap copy from zim_$(t)_copy_ctor or
 * zim_$(t)_snapshot is released with zim_$(t)_clnt_copy_dtor; objects and copies made _with_shm live in the
 * shared-memory pool and are never released singly. Allocation failures and
 * failed layout checks end the process with an assertion report. */

$(declarations)$(accessors)
#ifdef __cplusplus
}

#include "zim/tables/handles.hpp"

/* What the owning handles of zim/tables/handles.hpp call for type $(t). */
namespace zim_tables {
template <>
struct TypeOps<qor_$(t)_obj> {
  static qor_$(t)_obj *make(uint32_t$(count_name)) { return qor_srv_$(t)_ctor($(ctor_arg)); }
  static qor_$(t)_obj *copy(qor_$(t)_obj *src) { return zim_$(t)_copy_ctor(src); }
  static qor_$(t)_obj *snapshot(qor_$(t)_obj *obj, uint64_t *version) {
    return zim_$(t)_snapshot_with_version(obj, version);
  }
  static void release(qor_$(t)_obj *obj) { zim_$(t)_clnt_copy_dtor(obj); }
};
}  // namespace zim_tables
#endif
$(layout_note)
#endif /* $(GUARD) */
)tpl";

}  // namespace

GeneratedFile emit_type_header(const TypeLayout& type) {
  Vars v = type_vars(type);
  for (const auto& [key, id] : type_constants(type.name)) v[key] = id;
  v["offset_constants"] = offset_constants(type);
  std::string declarations;
  for (const Operation& op : kOperations) {
    declarations += "ZIM_TABLES_API " + operation_signature(op, v) + ";\n";
  }
  v["declarations"] = declarations;
  v["accessors"] = accessors(type);
  v["layout_note"] = layout_note(type);
  v["count_name"] = type.count_field ? " count" : "";
  std::string header = banner(CommentStyle::kBlock, type.file_name) + render(kHeader, v);
  return {type_header_file(type.name), std::move(header)};
}

}  // namespace tablegen
