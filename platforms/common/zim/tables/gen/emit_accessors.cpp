// SPDX-License-Identifier: Apache-2.0
// The typed accessors of a type's header: static inline functions over the
// layout constants, so the library exports nothing new for them. Each is one
// or two lines over the helpers of zim/tables/accessors.h.
#include <string>

#include "accessor_names.hpp"
#include "constant_names.hpp"
#include "emit.hpp"

namespace tablegen {
namespace {

constexpr const char* kIntro = R"tpl(
/* Accessors of every data field: zim_$(t)_get_<f>, _set_<f>, _has_<f> and
 * _clear_<f>, with an index i for a run of fields or an array element, and
 * zim_$(t)_<f>_length for an array (the object's count, or N). <f> is the
 * field's name or field_<number>. Values of 1, 2, 4 or 8 bytes pass as
 * uint8_t to uint64_t; wider ones as bytes: get returns their address, set
 * copies the field's width from value. set writes the value, then its flag
 * with release ordering; has reads the flag with acquire ordering; clear
 * zeroes it; get ignores it. An index past the run or the array ends the
 * process with an assertion report naming the accessor, before anything is
 * written, whether or not NDEBUG is set. Arrays are reached through the
 * object's own pointers: fix them after a move first. */
)tpl";

constexpr const char* kScalar = R"tpl(static inline $(V) $(get)(qor_$(t)_obj_st obj$(ip)) {
$(check)  return zim_tables_load_u$(bits)($(data));
}
static inline void $(set)(qor_$(t)_obj_st obj$(ip), $(V) value) {
$(check)  zim_tables_store($(data), &value, $(width)u, $(flag));
}
)tpl";

constexpr const char* kBytes = R"tpl(static inline uint8_t *$(get)(qor_$(t)_obj_st obj$(ip)) {
$(check)  return $(data);
}
static inline void $(set)(qor_$(t)_obj_st obj$(ip), const void *value) {
$(check)  zim_tables_store($(data), value, $(width)u, $(flag));
}
)tpl";

constexpr const char* kFlag = R"tpl(static inline zim_bool_t $(has)(qor_$(t)_obj_st obj$(ip)) {
$(check)  return zim_tables_flag_up($(flag));
}
static inline void $(clear)(qor_$(t)_obj_st obj$(ip)) {
$(check)  zim_tables_flag_lower($(flag));
}
)tpl";

constexpr const char* kCountedLength = R"tpl(static inline uint32_t $(length)(qor_$(t)_obj_st obj) {
  return zim_tables_load_u32(zim_tables_at(obj, $(P)COUNT_OFFSET));
}
)tpl";

constexpr const char* kPerNpuLength = R"tpl(static inline uint32_t $(length)(qor_$(t)_obj_st obj) {
  (void)obj;
  return hulcon_config_get_max_num_npus();
}
)tpl";

std::string field_accessors(const TypeLayout& type, const FieldLayout& f, size_t index) {
  const AccessorNames names = accessor_names(type.name, f, index);
  const std::string F = field_prefix(type.name, f, index);
  const bool indexed = f.is_array() || f.repeat > 1;
  Vars v{{"t", type.name},
         {"P", type_prefix(type.name)},
         {"get", names.get},
         {"set", names.set},
         {"has", names.has},
         {"clear", names.clear},
         {"length", names.length},
         {"width", str(f.width)},
         {"ip", indexed ? ", uint32_t i" : ""}};
  if (f.is_array()) {
    v["check"] = "  ZIM_TABLES_CHECK_INDEX(i, " + names.length + "(obj));\n";
    v["data"] = "zim_tables_pointee(obj, " + F + "PTR) + " + F + "ELEM_SIZE * (uint64_t)i";
    v["flag"] = "zim_tables_pointee(obj, " + F + "FLAGS_PTR) + i";
  } else if (indexed) {
    v["check"] = "  ZIM_TABLES_CHECK_INDEX(i, " + F + "RUN);\n";
    v["data"] = "zim_tables_at(obj, " + F + "OFFSET + " + F + "WIDTH * (uint64_t)i)";
    v["flag"] = "zim_tables_at(obj, " + F + "FLAG + (uint64_t)i)";
  } else {
    v["check"] = "";
    v["data"] = "zim_tables_at(obj, " + F + "OFFSET)";
    v["flag"] = "zim_tables_at(obj, " + F + "FLAG)";
  }
  std::string text = "\n/* " + field_label(f, index) + ": " + item_text(f) + " */\n";
  if (f.kind == ItemKind::kCountedArray) text += render(kCountedLength, v);
  if (f.kind == ItemKind::kPerNpuArray) text += render(kPerNpuLength, v);
  const uint32_t w = f.width;
  if (w == 1 || w == 2 || w == 4 || w == 8) {
    v["bits"] = str(w * 8);
    v["V"] = "uint" + str(w * 8) + "_t";
    text += render(kScalar, v);
  } else {
    text += render(kBytes, v);
  }
  return text + render(kFlag, v);
}

}  // namespace

std::string accessors(const TypeLayout& type) {
  std::string text = render(kIntro, {{"t", type.name}});
  for (size_t i = 0; i < type.fields.size(); ++i) text += field_accessors(type, type.fields[i], i);
  return text;
}

}  // namespace tablegen
