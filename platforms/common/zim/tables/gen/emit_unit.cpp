// The generated unit of one type and its public header.
#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "emit.hpp"
#include "layout_names.hpp"
#include "text.hpp"

namespace tablegen {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string banner(const Definition& def, const char* open, const char* close) {
  return std::string(open) + " Generated from defs/" + def.file_name +
         " by zim_tablegen; do not edit." + close + "\n";
}

std::string header_list(const Definition& def) {
  std::string out;
  for (const auto& f : def.header) {
    if (!out.empty()) out += ", ";
    out += "zt::header_field<" + str(f.offset) + ", " + str(f.width) + ">";
  }
  return out;
}

std::string step_list(const TypePlan& plan) {
  std::string out;
  for (size_t i = 0; i < plan.steps.size(); ++i) {
    const DataStep& s = plan.steps[i];
    out += "      ";
    switch (s.kind) {
      case ItemKind::kInline:
        out += "zt::inline_span<" + str(s.offset) + ", " + str(s.bytes) + ", " +
               str(s.flag_offset) + ", " + str(s.flags) + ">";
        break;
      case ItemKind::kPerNpuArray:
        out += "zt::per_npu_array<" + str(s.offset) + ", " + str(s.bytes) + ", " +
               str(s.flag_offset) + ">";
        break;
      case ItemKind::kCountedArray:
        out += "zt::counted_array<" + str(s.offset) + ", " + str(s.bytes) + ", " +
               str(s.flag_offset) + ">";
        break;
    }
    out += (i + 1 < plan.steps.size() ? ",  // " : ">;  // ") + s.items + "\n";
  }
  return out;
}

Vars unit_vars(const TypePlan& plan) {
  const Definition& def = *plan.def;
  const bool counted = def.count_field.has_value();
  Vars v;
  v["t"] = def.name;
  v["T"] = def.name + "_traits";
  v["table_id"] = str(def.table_id);
  v["fixed_size"] = str(def.fixed_size);
  v["npd_present"] = str(plan.npd_present);
  v["count_field"] = counted ? str(*def.count_field) : "0";
  v["size_check"] = def.size_check ? "true" : "false";
  v["bit5"] = def.sets_obj_flags_bit5 ? "true" : "false";
  v["header"] = header_list(def);
  v["steps"] = step_list(plan);
  v["unit_path"] = quoted(plan.unit_path);
  v["fix_ptrs_check"] = def.size_check ? "  static constexpr zt::check_site fix_ptrs_check{" +
                                             str(plan.lines.fix_ptrs) + ", " +
                                             quoted(plan.fix_ptrs_prototype) + "};\n"
                                       : "";
  v["size_ptr_line"] = str(plan.lines.size_ptr);
  v["size_ptr_proto"] = quoted(plan.size_ptr_prototype);
  v["alloc_line"] = str(plan.lines.alloc);
  v["alloc_proto"] = quoted(plan.alloc_prototype);
  std::string wisp;
  for (uint32_t w : def.wisp) wisp += (wisp.empty() ? "" : ", ") + str(w);
  v["wisp"] = wisp;
  // Count-taking operations: parameter declarations and the value passed on.
  v["count_param"] = counted ? "uint32_t count" : "void";
  v["count_arg"] = counted ? "count" : "0";
  v["ctor_arg"] = counted ? "count" : "";
  v["ignore_count"] = counted ? "" : "  (void)count;  // the type takes none\n";
  v["size_params"] = counted ? "uint32_t *obj_size_ptr, uint32_t count" : "uint32_t *obj_size_ptr";
  return v;
}

constexpr const char* kUnit = R"(
#include "zim/tables/$(t).h"

#include "table_ops.hpp"

namespace {

namespace zt = zim_tables;

struct $(T) {
  static constexpr uint32_t table_id = $(table_id);
  static constexpr uint32_t fixed_size = $(fixed_size);
  static constexpr uint32_t npd_present = $(npd_present);
  static constexpr uint32_t count_field = $(count_field);
  static constexpr bool size_check = $(size_check);
  static constexpr bool sets_obj_flags_bit5 = $(bit5);
  using header = zt::item_list<$(header)>;
  // In field order: inline_span<offset, bytes, first presence flag, flags>,
  // per_npu_array and counted_array<data pointer, element size, flag pointer>.
  using data = zt::item_list<
$(steps)  static constexpr char unit_path[] = $(unit_path);
$(fix_ptrs_check)  static constexpr zt::check_site size_ptr_check{$(size_ptr_line), $(size_ptr_proto)};
  static constexpr zt::check_site alloc_check{$(alloc_line), $(alloc_proto)};
  static constexpr zim_wisp_enums_t wisp{{$(wisp)}};
};

static_assert(zt::layout_is_consistent<$(T)>(), "$(t): layout constants disagree");

}  // namespace

extern "C" {

void qor_$(t)_fix_ptrs(uint32_t npd_size, qor_$(t)_obj_st obj_inst) {
  zt::fix_ptrs<$(T)>(npd_size, obj_inst);
}

void zim_$(t)_fix_ptrs_from_base(qor_$(t)_obj_st obj_inst) {
  qor_$(t)_fix_ptrs(qor_npd_get_table_size($(T)::table_id), obj_inst);
}

void qor_$(t)_add_dynamic_to_obj_size($(size_params)) {
  zt::add_dynamic_to_obj_size<$(T)>(obj_size_ptr, $(count_arg));
}

uint32_t qor_$(t)_get_obj_size($(count_param)) {
  return zt::get_obj_size<$(T)>($(count_arg));
}

zim_wisp_enums_t zim_$(t)_get_wisp_enums(void) {
  return $(T)::wisp;
}

void qor_$(t)_read_dbobj(qor_$(t)_obj_st src, qor_$(t)_obj_st dst) {
  zt::read_dbobj<$(T)>(src, dst);
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) void qor_$(t)_write_dbobj_base(qor_$(t)_obj_st src, qor_$(t)_obj_st dst) {
  zt::copy_base<$(T)>(src, dst);
}

// The same operation under its second name: one body, two symbols.
void qor_$(t)_read_dbobj_base(qor_$(t)_obj_st src, qor_$(t)_obj_st dst)
    __attribute__((alias("qor_$(t)_write_dbobj_base")));

// The copy routine's name for that body. It is bound inside the unit, so a
// program's own symbol of an exported name cannot stand in for it.
static void $(t)_copy_headers(qor_$(t)_obj_st src, qor_$(t)_obj_st dst)
    __attribute__((alias("qor_$(t)_write_dbobj_base")));

// Written out in each constructor for its own use_shm: no choice at run time
// on the path that makes every server object.
__attribute__((always_inline)) static inline srv_$(t)_t $(t)_srv_alloc(uint32_t count, zim_bool_t use_shm) {
  return static_cast<srv_$(t)_t>(zt::srv_alloc<$(T)>(count, use_shm));
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) srv_$(t)_t qor_srv_$(t)_ctor($(count_param)) {
  return $(t)_srv_alloc($(count_arg), ZIM_FALSE);
}

__attribute__((noinline)) srv_$(t)_t zim_srv_$(t)_ctor_with_shm($(count_param)) {
  return $(t)_srv_alloc($(count_arg), ZIM_TRUE);
}

// The copy routine allocates with the constructor for its use_shm.
static srv_$(t)_t $(t)_copy_alloc(uint32_t count, zim_bool_t use_shm) {
$(ignore_count)  return use_shm ? zim_srv_$(t)_ctor_with_shm($(ctor_arg)) : qor_srv_$(t)_ctor($(ctor_arg));
}

// Shared by both copy constructors, which differ only in use_shm.
__attribute__((noinline)) static srv_$(t)_t $(t)_copy(qor_$(t)_obj_st src, zim_bool_t use_shm) {
  // The data copy through the template itself, not the exported symbol:
  // bound inside the unit like the header copy, and inlined where it pays.
  const auto copy_data = [](qor_$(t)_obj_st from, qor_$(t)_obj_st to) {
    zt::read_dbobj<$(T)>(from, to);
  };
  return zt::copy<$(T)>(src, use_shm, $(t)_copy_alloc, $(t)_copy_headers, +copy_data);
}

srv_$(t)_t zim_$(t)_copy_ctor(qor_$(t)_obj_st src) {
  return $(t)_copy(src, ZIM_FALSE);
}

srv_$(t)_t zim_$(t)_copy_ctor_with_shm(qor_$(t)_obj_st src) {
  return $(t)_copy(src, ZIM_TRUE);
}

void zim_$(t)_clnt_copy_dtor(qor_$(t)_obj_st obj_inst) {
  zt::clnt_copy_dtor(obj_inst);
}

}  // extern "C"
)";

constexpr const char* kHeader = R"(#ifndef ZIM_TABLES_$(T_UPPER)_H
#define ZIM_TABLES_$(T_UPPER)_H

#include <stdint.h>

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
$(layout)
/* Ownership: a server object from qor_srv_$(t)_ctor is a heap block that its
 * creator frees with free(); a heap copy from zim_$(t)_copy_ctor is released
 * with zim_$(t)_clnt_copy_dtor; objects and copies made _with_shm live in the
 * shared-memory pool and are never released singly. Allocation failures and
 * failed layout checks end the process with an assertion report. */

ZIM_TABLES_API void qor_$(t)_fix_ptrs(uint32_t npd_size, qor_$(t)_obj_st obj_inst);
ZIM_TABLES_API void zim_$(t)_fix_ptrs_from_base(qor_$(t)_obj_st obj_inst);
ZIM_TABLES_API void qor_$(t)_add_dynamic_to_obj_size($(size_params));
ZIM_TABLES_API uint32_t qor_$(t)_get_obj_size($(count_param));
ZIM_TABLES_API zim_wisp_enums_t zim_$(t)_get_wisp_enums(void);
ZIM_TABLES_API void qor_$(t)_read_dbobj(qor_$(t)_obj_st src, qor_$(t)_obj_st dst);
ZIM_TABLES_API void qor_$(t)_write_dbobj_base(qor_$(t)_obj_st src, qor_$(t)_obj_st dst);
ZIM_TABLES_API void qor_$(t)_read_dbobj_base(qor_$(t)_obj_st src, qor_$(t)_obj_st dst);
ZIM_TABLES_API srv_$(t)_t qor_srv_$(t)_ctor($(count_param));
ZIM_TABLES_API srv_$(t)_t zim_srv_$(t)_ctor_with_shm($(count_param));
ZIM_TABLES_API srv_$(t)_t zim_$(t)_copy_ctor(qor_$(t)_obj_st src);
ZIM_TABLES_API srv_$(t)_t zim_$(t)_copy_ctor_with_shm(qor_$(t)_obj_st src);
ZIM_TABLES_API void zim_$(t)_clnt_copy_dtor(qor_$(t)_obj_st obj_inst);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_$(T_UPPER)_H */
)";

}  // namespace

GeneratedFile emit_unit(const TypePlan& plan) {
  const Definition& def = *plan.def;
  return {"vesk-autogensrc/" + def.name + "_common_utils.cpp",
          banner(def, "//", "") + render(kUnit, unit_vars(plan))};
}

namespace {

// The validator refuses a catalogue whose headers would define a name twice,
// judging by header_names: a header must define exactly those names, or
// a clash could reach a user's compiler. A mismatch is the generator's own
// fault, found on the first type of any catalogue.
void expect_checked_names(const Definition& def, const std::string& header) {
  std::vector<std::string> defined;
  std::istringstream lines(header);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#define ", 0) != 0) continue;
    defined.push_back(line.substr(8, line.find_first_of(" (", 8) - 8));
  }
  std::vector<std::string> checked;
  for (const auto& name : header_names(def)) checked.push_back(name.id);
  std::sort(defined.begin(), defined.end());
  std::sort(checked.begin(), checked.end());
  if (defined != checked) {
    throw std::logic_error("the header of " + def.name +
                           " defines other names than the validator checks for clashes");
  }
}

}  // namespace

GeneratedFile emit_type_header(const TypePlan& plan) {
  const Definition& def = *plan.def;
  Vars v = unit_vars(plan);
  v["T_UPPER"] = upper(def.name);
  v["layout"] = layout_constants(plan);
  std::string header = banner(def, "/*", " */") + render(kHeader, v);
  expect_checked_names(def, header);
  return {"zim/tables/" + def.name + ".h", std::move(header)};
}

std::vector<std::string> exported_operations(const std::string& t) {
  return {"qor_" + t + "_fix_ptrs",
          "zim_" + t + "_fix_ptrs_from_base",
          "qor_" + t + "_add_dynamic_to_obj_size",
          "qor_" + t + "_get_obj_size",
          "zim_" + t + "_get_wisp_enums",
          "qor_" + t + "_read_dbobj",
          "qor_" + t + "_write_dbobj_base",
          "qor_" + t + "_read_dbobj_base",
          "qor_srv_" + t + "_ctor",
          "zim_srv_" + t + "_ctor_with_shm",
          "zim_" + t + "_copy_ctor",
          "zim_" + t + "_copy_ctor_with_shm",
          "zim_" + t + "_clnt_copy_dtor"};
}

GeneratedFile emit_umbrella_header(const std::vector<TypePlan>& plans) {
  std::string out =
      "/* Generated from defs/ by zim_tablegen; do not edit. */\n"
      "/* Every table type's operations, in table-id order. */\n"
      "#ifndef ZIM_TABLES_ALL_TABLES_H\n#define ZIM_TABLES_ALL_TABLES_H\n\n";
  for (const auto& plan : plans) out += "#include \"zim/tables/" + plan.def->name + ".h\"\n";
  out +=
      "\n/* Every table type as an X-macro list: X(TYPE, type) for each, in table-id\n"
      " * order, to build code over all types from their constants. */\n"
      "#define ZIM_TABLES_FOR_EACH_TYPE(X)";
  for (const auto& plan : plans) {
    out += " \\\n  X(" + upper(plan.def->name) + ", " + plan.def->name + ")";
  }
  out += "\n\n#endif /* ZIM_TABLES_ALL_TABLES_H */\n";
  return {"zim/tables/all_tables.h", out};
}

GeneratedFile emit_export_map(const std::vector<TypePlan>& plans) {
  std::string out =
      "/* Generated from defs/ by zim_tablegen; do not edit. */\n"
      "/* libzim_tables exports the operations of every table type and nothing else,\n"
      "   under one version node so that a later release can add another beside it. */\n"
      "ZIM_TABLES_1.0 {\n  global:\n";
  for (const auto& plan : plans) {
    for (const auto& name : exported_operations(plan.def->name)) out += "    " + name + ";\n";
  }
  out += "  local:\n    *;\n};\n";
  return {"zim_tables.map", out};
}

}  // namespace tablegen
