// The values that fill a type's templates, shared by every emitter of
// per-type text.
#include "emit.hpp"

namespace tablegen {

Vars type_vars(const TypeLayout& type) {
  const bool counted = type.count_field.has_value();
  Vars v;
  v["t"] = type.name;
  v["T"] = type.name + "_traits";
  v["count_param"] = counted ? "uint32_t count" : "void";
  v["count_arg"] = counted ? "count" : "0";
  v["ctor_arg"] = counted ? "count" : "";
  v["ignore_count"] = counted ? "" : "  (void)count;  // the type takes none\n";
  v["size_params"] = counted ? "uint32_t *obj_size_ptr, uint32_t count" : "uint32_t *obj_size_ptr";
  v["c"] = counted ? "c" : "";
  v["comma_c"] = counted ? ", c" : "";
  v["ignore_c"] = counted ? "" : "(void)c; ";
  return v;
}

std::string operation_name(const Operation& op, const std::string& type) {
  return render(op.name, {{"t", type}});
}

}  // namespace tablegen
