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

Vars with(const Constants& names) { return Vars(names.begin(), names.end()); }

std::string u64(uint64_t v) { return std::to_string(v) + (v > UINT32_MAX ? "ull" : "u"); }

constexpr const char* kFixedPart = R"tpl(
/* Layout of objects of type $(t), in bytes from an object's first byte.
 * The type header's fields in copy order; then each data field in definition order, known by
 * its name or number: an inline field has OFFSET, WIDTH (bytes per field),
 * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN
 * presence flags); an array field has PTR and FLAGS_PTR (where its data and
 * flag pointers lie), ELEM_SIZE and KIND. */
#define $(NUM_HEADER_FIELDS) $(header_count)u
$(header_fields)#define $(COUNT_OFFSET) $(count)
#define $(NUM_FIELDS) $(field_count)u
$(fields)#define $(FLAGS_AREA_OFFSET) $(flags_at)u
#define $(NPD_PRESENT_OFFSET) $(npd_present)u

/* Where the allocator places the NPD area and each array's element storage
 * and element flags in an object made for n NPUs, an NPD size of npd_size
 * bytes and count elements per counted array: uint64_t offsets from the
 * object's first byte. A counted array has no storage when count is 0; its
 * pointers are then null. OBJECT_SIZE is the first byte after the dynamic
 * area; total_obj_size holds it as a 32-bit number. */
#define $(DYNAMIC_OFFSET)(npd_size) ($(fixed_size) + (uint64_t)(npd_size))
$(dynamic)#define $(OBJECT_SIZE)(n, npd_size, count) $(object_size)

/* The header and data fields as X-macro lists: X($(T_UPPER), name or number) for each,
 * to build code over every field from the constants above. */
#define $(HEADER_FIELDS)(X)$(header_list)
#define $(INLINE_FIELDS)(X)$(inline_list)
#define $(ARRAY_FIELDS)(X)$(array_list)
)tpl";

constexpr const char* kHeaderField = "#define $(OFFSET) $(offset)u\n#define $(WIDTH) $(width)u\n";

constexpr const char* kInlineField = R"tpl(#define $(OFFSET) $(offset)u /* $(item) */
#define $(WIDTH) $(width)u
#define $(RUN) $(run)u
#define $(FLAG) $(flag_at)u
)tpl";

constexpr const char* kArrayField = R"tpl(#define $(PTR) $(offset)u /* $(item) */
#define $(FLAGS_PTR) $(flag_at)u
#define $(ELEM_SIZE) $(width)u
#define $(KIND) $(kind)
)tpl";

constexpr const char* kArrayPlacement =
    "#define $(STORAGE_OFFSET)(n, npd_size, count) $(storage)\n"
    "#define $(FLAGS_OFFSET)(n, npd_size, count) $(flags)\n";

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
  Vars v(with(type_constants(type.name)));
  v["t"] = type.name;
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
    Vars field = with(header_field_constants(type.name, i));
    field["offset"] = str(type.header[i].offset);
    field["width"] = str(type.header[i].width);
    header_fields += render(kHeaderField, field);
    header_list += " X(" + type_token + ", " + index + ")";
  }
  std::string fields, dynamic, inline_list, array_list;
  uint64_t per_npu = 0, counted = 0;  // bytes per NPU and per count before the next array
  Vars field;                         // each field's values replace the last one's: one map for all
  for (size_t i = 0; i < type.fields.size(); ++i) {
    const FieldLayout& f = type.fields[i];
    for (const auto& [key, id] : field_constants(type.name, f, i)) field[key] = id;
    field["offset"] = str(f.offset);
    field["item"] = item_text(f);
    field["width"] = str(f.width);
    field["run"] = str(f.run_length);
    field["flag_at"] = str(f.flag_at);
    field["kind"] = f.kind == ItemKind::kPerNpuArray ? "ZIM_ARRAY_PER_NPU" : "ZIM_ARRAY_COUNTED";
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
    field["storage"] = storage;
    field["flags"] = flags;
    dynamic += render(kArrayPlacement, field);
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
