// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/manifest_record.hpp"

#include <iterator>

namespace tablegen {
namespace {

constexpr const char* kKeyText[] = {
    "type",           "fingerprint", "class", "fixed_size",  "count_param", "size_check",
    "obj_flags_bit5", "header",      "field", "npd_present", "dynamic",     "check fix_ptrs",
    "check size_ptr", "check alloc", "wisp",  "type"};
static_assert(std::size(kKeyText) == static_cast<size_t>(ManifestKey::kDone) + 1);

std::string check_text(const CheckSite& site) {
  return site.line == 0 ? std::string("none")
                        : std::to_string(site.line) + " \"" + site.prototype + "\"";
}

}  // namespace

const char* key_text(ManifestKey key) { return kKeyText[static_cast<int>(key)]; }

std::optional<ManifestKey> key_of(const std::vector<std::string>& words) {
  const std::string& w = words[0];
  if (w == "check") {
    if (words.size() < 2) return std::nullopt;
    if (words[1] == "fix_ptrs") return ManifestKey::kCheckFixPtrs;
    if (words[1] == "size_ptr") return ManifestKey::kCheckSizePtr;
    if (words[1] == "alloc") return ManifestKey::kCheckAlloc;
    return std::nullopt;
  }
  if (w == "field" || w == "array") return ManifestKey::kField;
  for (int k = 0; k <= static_cast<int>(ManifestKey::kWisp); ++k) {
    if (w == kKeyText[k]) return static_cast<ManifestKey>(k);
  }
  return std::nullopt;
}

void check_derived(const ManifestRecord& r, const TypeLayout& planned,
                   const ManifestWords::Report& fail) {
  for (size_t i = 0; i < planned.fields.size(); ++i) {
    const FieldLayout& f = planned.fields[i];
    if (r.flag_at[i] == f.flag_at) continue;
    fail(f.line, std::string(f.is_array() ? "the flag pointer of this array"
                                          : "the presence flags of this field") +
                     " must be at " + std::to_string(f.flag_at) + ", not " +
                     std::to_string(r.flag_at[i]));
  }
  if (r.npd_present != planned.npd_present) {
    fail(r.lines.npd_present, "npd_present must be at " + std::to_string(planned.npd_present) +
                                  ", the first byte after the presence flags, not " +
                                  std::to_string(r.npd_present));
  }
  if (r.dynamic != planned.dynamic) {
    std::string expected;
    for (uint32_t a : planned.dynamic) expected += " " + std::to_string(a);
    fail(r.dynamic_line, "'dynamic' must list the data pointers in field order:" +
                             (expected.empty() ? std::string(" none") : expected));
  }
  const CheckSite* derived[] = {&planned.checks.fix_ptrs, &planned.checks.size_ptr,
                                &planned.checks.alloc};
  const CheckSite* stated[] = {&r.checks.fix_ptrs, &r.checks.size_ptr, &r.checks.alloc};
  for (int i = 0; i < 3; ++i) {
    if (derived[i]->line == stated[i]->line && derived[i]->prototype == stated[i]->prototype) {
      continue;
    }
    fail(r.check_lines[i], "this layout's check is " + check_text(*derived[i]));
  }
}

}  // namespace tablegen
