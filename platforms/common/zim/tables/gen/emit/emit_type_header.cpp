// SPDX-License-Identifier: Apache-2.0
// The public header of one type: its object types, offset constants and the
// declarations of its thirteen operations, its snapshot, its fields' accessors
// and what the C++ handles call.
#include "gen/emit/emit_type_header.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gen/emit/emit_accessors.hpp"
#include "gen/emit/emit_offset_constants.hpp"
#include "gen/emit/type_vars.hpp"
#include "gen/names/constant_names.hpp"

namespace tablegen {
namespace {

constexpr const char* kHeader = R"tpl(#ifndef ZIM_TABLES_$(T_UPPER)_H
#define ZIM_TABLES_$(T_UPPER)_H

#include <stdint.h>

#include "zim/tables/accessors.h"
#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A table object of type $(t) (table id $(table_id)): a pointer to its first byte. */
typedef struct qor_$(t)_obj *qor_$(t)_obj_st;
typedef struct qor_$(t)_obj *srv_$(t)_t;

#define ZIM_TABLE_ID_$(T_UPPER) $(table_id)u
#define ZIM_FIXED_SIZE_$(T_UPPER) $(fixed_size)u
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
  static qor_$(t)_obj *snapshot(qor_$(t)_obj *obj) { return zim_$(t)_snapshot(obj); }
  static void release(qor_$(t)_obj *obj) { zim_$(t)_clnt_copy_dtor(obj); }
};
}  // namespace zim_tables
#endif

#endif /* ZIM_TABLES_$(T_UPPER)_H */
)tpl";

// The validator refuses a catalogue whose headers would define a name twice,
// judging by header_names: a header must define exactly those names, or a
// clash could reach a user's compiler. A mismatch is the generator's own
// fault, found on the first type of any catalogue.
void expect_checked_names(const TypeLayout& type, const std::string& header) {
  std::vector<std::string> defined;
  std::istringstream lines(header);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#define ", 0) != 0) continue;
    defined.push_back(line.substr(8, line.find_first_of(" (", 8) - 8));
  }
  std::vector<std::string> checked;
  for (const auto& name : header_names(type)) checked.push_back(name.id);
  std::sort(defined.begin(), defined.end());
  std::sort(checked.begin(), checked.end());
  if (defined != checked) {
    throw std::logic_error("the header of " + type.name +
                           " defines other names than the validator checks for clashes");
  }
}

}  // namespace

GeneratedFile emit_type_header(const TypeLayout& type) {
  Vars v = type_vars(type);
  v["T_UPPER"] = upper(type.name);
  v["offset_constants"] = offset_constants(type);
  std::string declarations;
  for (const Operation& op : kOperations) {
    declarations += "ZIM_TABLES_API " + operation_signature(op, v) + ";\n";
  }
  v["declarations"] = declarations;
  v["accessors"] = accessors(type);
  v["count_name"] = type.count_field ? " count" : "";
  std::string header = banner(CommentStyle::kBlock, type.file_name) + render(kHeader, v);
  expect_checked_names(type, header);
  return {"zim/tables/" + type.name + ".h", std::move(header)};
}

}  // namespace tablegen
