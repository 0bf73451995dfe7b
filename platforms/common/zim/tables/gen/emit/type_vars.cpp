// SPDX-License-Identifier: Apache-2.0
// The values that fill a type's templates, shared by every emitter of
// per-type text.
#include "gen/emit/type_vars.hpp"

namespace tablegen {

Vars type_vars(const TypeLayout& type) {
  const bool counted = type.count_field.has_value();
  Vars v = operation_vars(type.name, counted);
  v["table_id"] = str(type.table_id);
  v["fixed_size"] = str(type.fixed_size);
  v["npd_present"] = str(type.npd_present);
  v["count_field"] = counted ? str(*type.count_field) : "0";
  v["size_check"] = type.size_check ? "true" : "false";
  v["bit5"] = type.sets_obj_flags_bit5 ? "true" : "false";
  std::string wisp;
  for (uint32_t w : type.wisp) wisp += (wisp.empty() ? "" : ", ") + str(w);
  v["wisp"] = wisp;
  v["unit_path"] = type.unit_path;
  v["fix_ptrs_line"] = str(type.checks.fix_ptrs.line);
  v["size_ptr_line"] = str(type.checks.size_ptr.line);
  v["size_ptr_proto"] = type.checks.size_ptr.prototype;
  v["alloc_line"] = str(type.checks.alloc.line);
  v["alloc_proto"] = type.checks.alloc.prototype;
  return v;
}

}  // namespace tablegen
