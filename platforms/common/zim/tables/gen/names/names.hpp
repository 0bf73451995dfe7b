// SPDX-License-Identifier: Apache-2.0
// The names of what the generator makes: files and the paths their checks
// report, header guards, the operations and their prototypes, the names a
// definition file must have, and the words that the library's and the
// platform's own headers keep. Every other stage asks here; the constants and
// accessors of a type's header are named in constant_names.hpp and
// accessor_names.hpp, parts of this module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/names.hpp"
#include "gen/names/operations.hpp"
#include "gen/text/render.hpp"

namespace tablegen {

using namespace zim_codec;

// Files, relative to the output folder: olist's unit
// src/vesk-autogensrc/olist_common_utils.cpp and header
// include/zim/tables/olist.h, which C code includes as "zim/tables/olist.h".
std::string unit_file(const std::string& type);
std::string type_header_include(const std::string& type);
std::string type_header_file(const std::string& type);
// Files made from the whole catalogue.
inline constexpr const char* kUmbrellaHeaderFile = "include/zim/tables/all_tables.h";
inline constexpr const char* kCatalogueSizeHeaderFile = "include/zim/tables/catalogue_size.h";

// The unit's path as its assertion reports name it, the platform's source
// path without its extension:
// ./platforms/common/zim/tables/src/vesk-autogensrc/olist_common_utils.
std::string unit_path(const std::string& type);

// The text with a-z in upper case: OLIST for olist.
inline char upper_letter(char c) { return is_lower(c) ? static_cast<char>(c - 'a' + 'A') : c; }
std::string upper(std::string text);

// ZIM_TABLES_OLIST_H for zim/tables/olist.h; the library's own headers follow
// the same rule.
std::string header_guard(const std::string& header_stem);

// The values of the operation templates that depend on the type alone (see
// operations.hpp), an operation's name and C signature, and the prototypes
// that the checks of a type's unit report: without parameter names, the
// fix-up's empty for a type without a size check.
Vars operation_vars(const std::string& type, bool counted);
std::string operation_name(const Operation& op, const std::string& type);
std::string operation_signature(const Operation& op, const Vars& type);
struct CheckPrototypes {
  std::string fix_ptrs, size_ptr, alloc;
};
CheckPrototypes check_prototypes(const std::string& type, bool counted, bool size_check);

// A definition file's name, NNN_name.tdef: its table id in at least three
// digits, then its type name.
std::string definition_file_name(uint32_t table_id, const std::string& type);
// What an entry of a definitions folder is by its name: a definition
// (*.tdef), one named like a definition under another single extension
// (003_x.def, not an editor's backup 003_x.tdef~ or 003_x.tdef.orig), or
// neither. Hidden entries are the caller's to leave out first.
enum class DefinitionEntry { kDefinition, kMisnamed, kOther };
DefinitionEntry definition_entry(const std::string& file_name);

// The words that begin, after zim_ (ZIM_ in macros), every function and macro
// of the library's own headers and of the platform's (the simulated one's
// included): zim_shm_pool_root, ZIM_OBJ_TABLE_ID_OFFSET. A type or field whose
// header's names would begin with one (alone or before _) is refused, so that
// no type's header can meet a name of theirs, now or as they grow; a test holds
// the list against every name those headers declare.
inline constexpr const char* kReservedWords[] = {
    "tables",         "shm",  "sim",   "table_props",     "srv_table_props", "obj",
    "array",          "true", "false", "num_table_types", "first_table_id",  "max_table_id",
    "table_migration"};
// The word of kReservedWords that id, a zim_ or ZIM_ name, begins with; null
// when none does.
const char* reserved_word(std::string_view id);

// The library's own headers in zim/tables/, installed or generated: a type of
// one of these names would replace one, and take its guard. A test holds the
// list against the headers.
inline constexpr const char* kLibraryHeaders[] = {
    "accessors", "all_tables", "catalogue_size", "export",   "layout_note", "migration",
    "platform",  "table_id",   "table_object",   "versions", "whole_reads"};

}  // namespace tablegen
