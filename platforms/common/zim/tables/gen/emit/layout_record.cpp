// SPDX-License-Identifier: Apache-2.0
#include "gen/emit/layout_record.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "gen/emit/template.hpp"
#include "gen/layout/fingerprint.hpp"

namespace tablegen {
namespace {

constexpr const char* kRecord = R"tpl(type $(table_id) $(t)
  fingerprint $(fingerprint)
  class $(class)
  fixed_size $(fixed_size)
  count_param $(count_field)
  size_check $(size_check)
  obj_flags_bit5 $(bit5)
  header$(header)
$(fields)  npd_present $(npd_present)
  dynamic$(dynamic)
  check fix_ptrs $(fix_ptrs)
  check size_ptr $(size_ptr)
  check alloc $(alloc)
  wisp$(wisp)
)tpl";

std::string check_text(const CheckSite& site) {
  return site.line == 0 ? std::string("none") : str(site.line) + " \"" + site.prototype + "\"";
}

std::string field_line(const FieldLayout& f) {
  const std::string name =
      (f.name.empty() ? "" : " name " + f.name) + (f.was.empty() ? "" : " was " + f.was);
  if (!f.is_array()) {
    return render("  field $(offset) width $(width) run $(run) flag $(flag)$(name)\n",
                  {{"offset", str(f.offset)},
                   {"width", str(f.width)},
                   {"run", str(f.run_length)},
                   {"flag", str(f.flag_at)},
                   {"name", name}});
  }
  return render("  array $(offset) $(kind) elem $(width) flag_ptr $(flag)$(name)\n",
                {{"offset", str(f.offset)},
                 {"kind", f.kind == ItemKind::kPerNpuArray ? "per_npu" : "counted"},
                 {"width", str(f.width)},
                 {"flag", str(f.flag_at)},
                 {"name", name}});
}

// One line of the record as a C string literal of an assembler .ascii
// directive: the assembler's escapes (\" \\ \n and octal for any other byte
// outside printable ASCII), each escaped again for C.
std::string ascii_literal(std::string_view line) {
  static constexpr char kOctal[] = "01234567";
  std::string out = R"(" .ascii \")";
  for (const char ch : line) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += std::string(R"(\\\)") + ch;
    } else if (c == '\n') {
      out += R"(\\n)";
    } else if (c >= 0x20 && c < 0x7f) {
      out += ch;
    } else {
      out += R"(\\)";
      out += {kOctal[c >> 6], kOctal[(c >> 3) & 7], kOctal[c & 7]};
    }
  }
  return out + R"(\"\n")";
}

// The note's literals go into consecutive top-level asm statements of at
// most this many bytes each: C compilers need take no longer string literal
// than 4095 bytes, and -pedantic warns of one.
constexpr size_t kStatementBytes = 3000;

constexpr const char* kNoteOpen = R"tpl(
/* The layout note (zim/tables/layout_note.h): this type's layout record, for
 * the pools shared with processes built from other definitions to compare. */
#if defined(__ELF__) && !defined(ZIM_TABLES_NO_LAYOUT_NOTE)
)tpl";

constexpr const char* kNoteHeader[] = {
    R"(".pushsection .note.zim_tables.layout,\"aGR\",%note,$(group),comdat\n")",
    R"(" .balign 4\n .long 11\n .long 5f - 4f\n .long $(note_type)\n .asciz \"zim_tables\"\n")",
    R"(" .balign 4\n4:\n .long $(version)\n .long $(table_id)\n .long $(lo)\n .long $(hi)\n")",
    R"(" .long 3f - 2f\n2:\n")",
};
constexpr const char* kNoteEnd = R"("3:\n .balign 4\n5:\n .popsection\n")";

std::string hex32(uint32_t v) { return "0x" + fingerprint_hex(v).substr(8); }

}  // namespace

std::string layout_record(const TypeLayout& t) {
  std::string header, fields, dynamic, wisp;
  for (const auto& h : t.header) header += " " + item_text(h);
  for (const auto& f : t.fields) fields += field_line(f);
  for (uint32_t at : t.dynamic) dynamic += " " + str(at);
  for (uint32_t w : t.wisp) wisp += " " + str(w);
  return render(kRecord, {{"table_id", str(t.table_id)},
                          {"t", t.name},
                          {"fingerprint", fingerprint_hex(layout_fingerprint(t))},
                          {"class", class_keyword(t.type_class)},
                          {"fixed_size", str(t.fixed_size)},
                          {"count_field", t.count_field ? "on " + str(*t.count_field) : "off"},
                          {"size_check", t.size_check ? "on" : "off"},
                          {"bit5", t.sets_obj_flags_bit5 ? "set" : "clear"},
                          {"header", header},
                          {"fields", fields},
                          {"npd_present", str(t.npd_present)},
                          {"dynamic", dynamic.empty() ? " none" : dynamic},
                          {"fix_ptrs", check_text(t.checks.fix_ptrs)},
                          {"size_ptr", check_text(t.checks.size_ptr)},
                          {"alloc", check_text(t.checks.alloc)},
                          {"wisp", wisp}});
}

std::string layout_note(const TypeLayout& t) {
  const uint64_t fingerprint = layout_fingerprint(t);
  const Vars v{{"group", "zim_tables_layout." + t.name + "." + fingerprint_hex(fingerprint)},
               {"note_type", "0x7a4c0001"},
               {"version", "1"},
               {"table_id", str(t.table_id)},
               {"lo", hex32(static_cast<uint32_t>(fingerprint))},
               {"hi", hex32(static_cast<uint32_t>(fingerprint >> 32))}};
  std::vector<std::string> literals;
  for (const char* line : kNoteHeader) literals.push_back(render(line, v));
  const std::string record = layout_record(t);
  for (size_t at = 0; at < record.size();) {
    const size_t next = std::min(record.find('\n', at), record.size() - 1) + 1;
    literals.push_back(ascii_literal(std::string_view(record).substr(at, next - at)));
    at = next;
  }
  literals.push_back(kNoteEnd);
  std::string out = std::string(kNoteOpen) + "__asm__(";
  size_t bytes = 0;
  for (size_t i = 0; i < literals.size(); ++i) {
    if (i > 0) out += bytes + literals[i].size() > kStatementBytes ? ");\n__asm__(" : "\n        ";
    if (bytes + literals[i].size() > kStatementBytes) bytes = 0;
    out += literals[i];
    bytes += literals[i].size();
  }
  return out + ");\n#endif\n";
}

}  // namespace tablegen
