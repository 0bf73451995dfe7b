// SPDX-License-Identifier: Apache-2.0
// The offset constants of a type's header: where every field, flag and array
// lies, so that C users need no offsets of their own. They are macros, so the
// library exports nothing new for them.
#include "gen/emit/emit_offset_constants.hpp"

#include <string>

#include "gen/emit/template.hpp"
#include "gen/names/constant_names.hpp"

namespace tablegen {
namespace {

std::string u64(uint64_t v) { return std::to_string(v) + (v > UINT32_MAX ? "ull" : "u"); }

constexpr const char* kFixedPart = R"tpl(
/* Layout of objects of type $(t), in bytes from an object's first byte.
 * The type header's fields in copy order; then each data field in definition order, known by
 * its name or number: an inline field has OFFSET, WIDTH (bytes per field),
 * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN
 * presence flags); an array field has PTR and FLAGS_PTR (where its data and
 * flag pointers lie), ELEM_SIZE and KIND. */
#define $(P)NUM_HEADER_FIELDS $(header_count)u
$(header_fields)#define $(P)COUNT_OFFSET $(count)
#define $(P)NUM_FIELDS $(field_count)u
$(fields)#define $(P)FLAGS_AREA_OFFSET $(flags_at)u
#define $(P)NPD_PRESENT_OFFSET $(npd_present)u

/* Where the allocator places the NPD area and each array's element storage
 * and element flags in an object made for n NPUs, an NPD size of npd_size
 * bytes and count elements per counted array: uint64_t offsets from the
 * object's first byte. A counted array has no storage when count is 0; its
 * pointers are then null. OBJECT_SIZE is the first byte after the dynamic
 * area; total_obj_size holds it as a 32-bit number. */
#define $(P)DYNAMIC_OFFSET(npd_size) ($(fixed_size) + (uint64_t)(npd_size))
$(dynamic)#define $(P)OBJECT_SIZE(n, npd_size, count) $(object_size)

/* The header and data fields as X-macro lists: X($(T_UPPER), name or number) for each,
 * to build code over every field from the constants above. */
#define $(P)HEADER_FIELDS(X)$(header_list)
#define $(P)INLINE_FIELDS(X)$(inline_list)
#define $(P)ARRAY_FIELDS(X)$(array_list)
)tpl";

constexpr const char* kHeaderField = "#define $(H)OFFSET $(offset)u\n#define $(H)WIDTH $(width)u\n";

constexpr const char* kInlineField = R"tpl(#define $(F)OFFSET $(offset)u /* $(item) */
#define $(F)WIDTH $(width)u
#define $(F)RUN $(run)u
#define $(F)FLAG $(flag_at)u
)tpl";

constexpr const char* kArrayField = R"tpl(#define $(F)PTR $(offset)u /* $(item) */
#define $(F)FLAGS_PTR $(flag_at)u
#define $(F)ELEM_SIZE $(width)u
#define $(F)KIND $(kind)
)tpl";

constexpr const char* kArrayPlacement =
    "#define $(F)STORAGE_OFFSET(n, npd_size, count) $(storage)\n"
    "#define $(F)FLAGS_OFFSET(n, npd_size, count) $(flags)\n";

// S + npd_size + a * n + b * count, as the allocator places the dynamic area.
// Every argument appears, also with a factor of 0, so that a caller's
// variables count as used and the result stays a constant expression.
std::string affine(uint64_t fixed, uint64_t per_npu, uint64_t counted) {
  return render(
      "($(fixed) + (uint64_t)(npd_size) + $(per_npu) * (uint64_t)(n) + $(counted) * "
      "(uint64_t)(count))",
      {{"fixed", u64(fixed)}, {"per_npu", u64(per_npu)}, {"counted", u64(counted)}});
}

}  // namespace

std::string offset_constants(const TypeLayout& type) {
  const std::string type_token = upper(type.name);
  Vars v;
  v["t"] = type.name;
  v["P"] = type_prefix(type.name);
  v["T_UPPER"] = type_token;
  v["header_count"] = str(static_cast<uint32_t>(type.header.size()));
  v["count"] = type.count_field ? str(*type.count_field) + "u /* u32 count */"
                                : "0u /* the type takes no count */";
  v["field_count"] = str(static_cast<uint32_t>(type.fields.size()));
  v["flags_at"] = str(type.flags_at);
  v["npd_present"] = str(type.npd_present);
  v["fixed_size"] = u64(type.fixed_size);

  std::string header_fields, header_list;
  for (size_t i = 0; i < type.header.size(); ++i) {
    const std::string index = std::to_string(i);
    header_fields += render(kHeaderField, {{"H", type_prefix(type.name) + "HEADER_" + index + "_"},
                                           {"offset", str(type.header[i].offset)},
                                           {"width", str(type.header[i].width)}});
    header_list += " X(" + type_token + ", " + index + ")";
  }
  std::string fields, dynamic, inline_list, array_list;
  uint64_t per_npu = 0, counted = 0;  // bytes per NPU and per count before the next array
  for (size_t i = 0; i < type.fields.size(); ++i) {
    const FieldLayout& f = type.fields[i];
    const Vars field{
        {"F", field_prefix(type.name, f, i)},
        {"offset", str(f.offset)},
        {"item", item_text(f)},
        {"width", str(f.width)},
        {"run", str(f.run_length)},
        {"flag_at", str(f.flag_at)},
        {"kind", f.kind == ItemKind::kPerNpuArray ? "ZIM_ARRAY_PER_NPU" : "ZIM_ARRAY_COUNTED"}};
    const std::string entry = " X(" + type_token + ", " + upper(field_label(f, i)) + ")";
    if (!f.is_array()) {
      fields += render(kInlineField, field);
      inline_list += entry;
      continue;
    }
    fields += render(kArrayField, field);
    array_list += entry;
    uint64_t& grows = f.kind == ItemKind::kPerNpuArray ? per_npu : counted;
    const std::string storage = affine(type.fixed_size, per_npu, counted);
    grows += f.width;
    const std::string flags = affine(type.fixed_size, per_npu, counted);
    grows += 1;
    dynamic +=
        render(kArrayPlacement, {{"F", field.at("F")}, {"storage", storage}, {"flags", flags}});
  }
  v["header_fields"] = header_fields;
  v["fields"] = fields;
  v["dynamic"] = dynamic;
  v["object_size"] = affine(type.fixed_size, per_npu, counted);
  v["header_list"] = header_list;
  v["inline_list"] = inline_list;
  v["array_list"] = array_list;
  return render(kFixedPart, v);
}

}  // namespace tablegen
