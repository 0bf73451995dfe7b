// The layout constants of a type's header: where every field, flag and array
// lies, so that C users need no offsets of their own. They are macros, so the
// library exports nothing new for them.
#include <string>

#include "emit.hpp"
#include "layout_names.hpp"
#include "text.hpp"

namespace tablegen {
namespace {

std::string u64(uint64_t v) { return std::to_string(v) + (v > UINT32_MAX ? "ull" : "u"); }

std::string define(const std::string& name, const std::string& value,
                   const std::string& comment = "") {
  return "#define " + name + " " + value + (comment.empty() ? "" : " /* " + comment + " */") + "\n";
}

// S + npd_size + a * n + b * count, as the allocator places the dynamic area.
// Every argument appears, also with a factor of 0, so that a caller's
// variables count as used and the result stays a constant expression.
std::string affine(uint64_t fixed, uint64_t per_npu, uint64_t counted) {
  return "(" + u64(fixed) + " + (uint64_t)(npd_size) + " + u64(per_npu) + " * (uint64_t)(n) + " +
         u64(counted) + " * (uint64_t)(count))";
}

std::string x_list(const std::string& name, const std::string& type_token,
                   const std::vector<std::string>& tokens) {
  std::string out = "#define " + name + "(X)";
  for (const auto& token : tokens) out += " X(" + type_token + ", " + token + ")";
  return out + "\n";
}

}  // namespace

std::string layout_constants(const TypePlan& plan) {
  const Definition& def = *plan.def;
  const std::string t = type_prefix(def);
  const std::string type_token = upper(def.name);
  std::string out = "\n/* Layout of objects of type " + def.name +
                    ", in bytes from an object's first byte.\n"
                    " * The type header's fields in copy order; then each data field in definition "
                    "order, known by\n"
                    " * its name or number: an inline field has OFFSET, WIDTH (bytes per field),\n"
                    " * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN\n"
                    " * presence flags); an array field has PTR and FLAGS_PTR (where its data and\n"
                    " * flag pointers lie), ELEM_SIZE and KIND. */\n";
  out += define(t + "NUM_HEADER_FIELDS", str(static_cast<uint32_t>(def.header.size())) + "u");
  std::vector<std::string> header_tokens, inline_tokens, array_tokens;
  for (size_t i = 0; i < def.header.size(); ++i) {
    const std::string h = t + "HEADER_" + std::to_string(i) + "_";
    out += define(h + "OFFSET", str(def.header[i].offset) + "u");
    out += define(h + "WIDTH", str(def.header[i].width) + "u");
    header_tokens.push_back(std::to_string(i));
  }
  out += def.count_field ? define(t + "COUNT_OFFSET", str(*def.count_field) + "u", "u32 count")
                         : define(t + "COUNT_OFFSET", "0u", "the type takes no count");
  out += define(t + "NUM_FIELDS", str(static_cast<uint32_t>(def.fields.size())) + "u");
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& f = def.fields[i];
    const std::string p = field_prefix(def, i);
    const std::string token = upper(field_label(f, i));
    if (f.is_array()) {
      out += define(p + "PTR", str(f.offset) + "u", item_text(f));
      out += define(p + "FLAGS_PTR", str(plan.item_flag_at[i]) + "u");
      out += define(p + "ELEM_SIZE", str(f.width) + "u");
      out += define(p + "KIND",
                    f.kind == ItemKind::kPerNpuArray ? "ZIM_ARRAY_PER_NPU" : "ZIM_ARRAY_COUNTED");
      array_tokens.push_back(token);
    } else {
      out += define(p + "OFFSET", str(f.offset) + "u", item_text(f));
      out += define(p + "WIDTH", str(f.width) + "u");
      out += define(p + "RUN", str(f.repeat) + "u");
      out += define(p + "FLAG", str(plan.item_flag_at[i]) + "u");
      inline_tokens.push_back(token);
    }
  }
  out += define(t + "FLAGS_AREA_OFFSET", str(def.flags_at) + "u");
  out += define(t + "NPD_PRESENT_OFFSET", str(plan.npd_present) + "u");

  out +=
      "\n/* Where the allocator places the NPD area and each array's element storage\n"
      " * and element flags in an object made for n NPUs, an NPD size of npd_size\n"
      " * bytes and count elements per counted array: uint64_t offsets from the\n"
      " * object's first byte. A counted array has no storage when count is 0; its\n"
      " * pointers are then null. OBJECT_SIZE is the first byte after the dynamic\n"
      " * area; total_obj_size holds it as a 32-bit number. */\n";
  out += define(t + "DYNAMIC_OFFSET(npd_size)",
                "(" + u64(def.fixed_size) + " + (uint64_t)(npd_size))");
  uint64_t per_npu = 0, counted = 0;
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& f = def.fields[i];
    if (!f.is_array()) continue;
    const std::string p = field_prefix(def, i);
    const bool npu = f.kind == ItemKind::kPerNpuArray;
    out +=
        define(p + "STORAGE_OFFSET(n, npd_size, count)", affine(def.fixed_size, per_npu, counted));
    (npu ? per_npu : counted) += f.width;
    out += define(p + "FLAGS_OFFSET(n, npd_size, count)", affine(def.fixed_size, per_npu, counted));
    (npu ? per_npu : counted) += 1;
  }
  out += define(t + "OBJECT_SIZE(n, npd_size, count)", affine(def.fixed_size, per_npu, counted));

  out += "\n/* The header and data fields as X-macro lists: X(" + type_token +
         ", name or number) for each,\n * to build code over every field from the constants above. "
         "*/\n";
  out += x_list(t + "HEADER_FIELDS", type_token, header_tokens);
  out += x_list(t + "INLINE_FIELDS", type_token, inline_tokens);
  out += x_list(t + "ARRAY_FIELDS", type_token, array_tokens);
  return out;
}

}  // namespace tablegen
