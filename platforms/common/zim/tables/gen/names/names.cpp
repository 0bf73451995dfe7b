// SPDX-License-Identifier: Apache-2.0
#include "gen/names/names.hpp"

#include <algorithm>
#include <cstdio>

#include "codec/words.hpp"

namespace tablegen {
namespace {

constexpr const char* kUnitFolder = "src/vesk-autogensrc/";
constexpr const char* kUnitSuffix = "_common_utils";
// Where the platform's sources keep the generated folder's src/.
constexpr const char* kPlatformTables = "./platforms/common/zim/tables/";

// A parameter list without its parameters' names: "uint32_t *obj_size_ptr,
// uint32_t count" gives "uint32_t *, uint32_t"; "void" stays.
std::string unnamed(const std::string& params) {
  std::string out;
  for (size_t begin = 0; begin < params.size();) {
    begin = params.find_first_not_of(' ', begin);
    if (begin == std::string::npos) break;
    const size_t end = std::min(params.find(',', begin), params.size());
    std::string param = params.substr(begin, end - begin);
    const size_t cut =
        param.find_last_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_");
    if (cut != std::string::npos) param.erase(param[cut] == ' ' ? cut : cut + 1);
    out += (out.empty() ? "" : ", ") + param;
    begin = end + 1;
  }
  return out;
}

// "result name(params)", the parameters' names kept or dropped.
std::string signature(const Operation& op, const Vars& type, bool named) {
  const std::string params = render(op.params, type);
  return render(op.result, type) + " " + render(op.name, type) + "(" +
         (named ? params : unnamed(params)) + ")";
}

}  // namespace

std::string unit_file(const std::string& type) { return kUnitFolder + type + kUnitSuffix + ".cpp"; }

std::string type_header_include(const std::string& type) { return "zim/tables/" + type + ".h"; }

std::string type_header_file(const std::string& type) {
  return "include/" + type_header_include(type);
}

std::string unit_path(const std::string& type) {
  return kPlatformTables + std::string(kUnitFolder) + type + kUnitSuffix;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), upper_letter);
  return text;
}

std::string header_guard(const std::string& header_stem) {
  return "ZIM_TABLES_" + upper(header_stem) + "_H";
}

Vars operation_vars(const std::string& type, bool counted) {
  Vars v;
  v["t"] = type;
  v["T"] = type + "_traits";
  v["count_param"] = counted ? "uint32_t count" : "void";
  v["count_arg"] = counted ? "count" : "0";
  v["ctor_arg"] = counted ? "count" : "";
  v["ignore_count"] = counted ? "" : "  (void)count;  // the type takes none\n";
  v["size_params"] = counted ? "uint32_t *obj_size_ptr, uint32_t count" : "uint32_t *obj_size_ptr";
  v["c"] = counted ? "c" : "";
  v["comma_c"] = counted ? ", c" : "";
  v["ignore_c"] = counted ? "" : "(void)c; ";
  v["alloc"] = operation_name(kSrvAlloc, type);
  v["alloc_signature"] = operation_signature(kSrvAlloc, v);
  return v;
}

std::string operation_name(const Operation& op, const std::string& type) {
  return render(op.name, "t", type);
}

std::string operation_signature(const Operation& op, const Vars& type) {
  return signature(op, type, true);
}

CheckPrototypes check_prototypes(const std::string& type, bool counted, bool size_check) {
  const Vars v = operation_vars(type, counted);
  return {size_check ? signature(kOperations[kFixPtrs], v, false) : "",
          signature(kOperations[kAddDynamicToObjSize], v, false), signature(kSrvAlloc, v, false)};
}

std::string definition_file_name(uint32_t table_id, const std::string& type) {
  char id[16];
  std::snprintf(id, sizeof id, "%03u", table_id);
  return id + ("_" + type) + ".tdef";
}

DefinitionEntry definition_entry(const std::string& name) {
  const std::string ext = ".tdef";
  if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
    return DefinitionEntry::kDefinition;
  }
  size_t i = 0;
  while (i < name.size() && is_digit(name[i])) ++i;
  if (i == 0 || i == name.size() || name[i] != '_') return DefinitionEntry::kOther;
  const size_t dot = name.find('.', i);
  if (dot == std::string::npos || dot + 1 == name.size()) return DefinitionEntry::kOther;
  const bool one_extension = std::all_of(name.begin() + dot + 1, name.end(), is_lower);
  return one_extension ? DefinitionEntry::kMisnamed : DefinitionEntry::kOther;
}

// Compared letter by letter, case-blind, without copies: every name of every
// type of a catalogue passes here.
const char* reserved_word(std::string_view id) {
  const auto same = [](char a, char b) { return upper_letter(a) == upper_letter(b); };
  constexpr std::string_view kZim = "ZIM_";
  if (id.size() < kZim.size() || !std::equal(kZim.begin(), kZim.end(), id.begin(), same)) {
    return nullptr;
  }
  const std::string_view rest = id.substr(kZim.size());
  for (const char* word : kReservedWords) {
    const std::string_view w = word;
    if (rest.size() >= w.size() && std::equal(w.begin(), w.end(), rest.begin(), same) &&
        (rest.size() == w.size() || rest[w.size()] == '_')) {
      return word;
    }
  }
  return nullptr;
}

}  // namespace tablegen
