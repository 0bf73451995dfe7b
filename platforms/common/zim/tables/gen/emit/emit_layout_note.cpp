// SPDX-License-Identifier: Apache-2.0
#include "gen/emit/emit_layout_note.hpp"

#include <zim/tables/layout_note.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "gen/emit/template.hpp"

namespace tablegen {
namespace {

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
    R"(" .balign 4\n .long $(owner_size)\n .long 5f - 4f\n .long $(note_type)\n .asciz \"$(owner)\"\n")",
    R"(" .balign 4\n4:\n .long $(version)\n .long $(table_id)\n .long $(lo)\n .long $(hi)\n")",
    R"(" .long 3f - 2f\n2:\n")",
};
constexpr const char* kNoteEnd = R"("3:\n .balign 4\n5:\n .popsection\n")";

std::string hex32(uint32_t v) { return "0x" + fingerprint_hex(v).substr(8); }

}  // namespace

std::string layout_note(const TypeLayout& t) {
  const uint64_t fingerprint = layout_fingerprint(t);
  const Vars v{{"group", "zim_tables_layout." + t.name + "." + fingerprint_hex(fingerprint)},
               {"owner", ZIM_TABLES_LAYOUT_NOTE_OWNER},
               {"owner_size", str(static_cast<uint32_t>(sizeof ZIM_TABLES_LAYOUT_NOTE_OWNER))},
               {"note_type", hex32(ZIM_TABLES_LAYOUT_NOTE_TYPE)},
               {"version", str(ZIM_TABLES_LAYOUT_NOTE_VERSION)},
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
