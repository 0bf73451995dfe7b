// SPDX-License-Identifier: Apache-2.0
// Reader, validator and planner on arbitrary definition text: whatever the
// generator accepts, the layout model must accept too, with the same flag
// offsets, npd_present and check lines. Anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "definition_model.hpp"
#include "gen/check/validator.hpp"
#include "gen/layout/plan.hpp"
#include "gen/read/layout_resolution.hpp"
#include "gen/read/parser.hpp"

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "generator accepted a definition the model does not: %s\n---\n%s\n---\n",
               what.c_str(), text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tablegen::Diagnostics diags;
  auto def = tablegen::parse_definition("defs/fuzz.tdef", text, diags);
  if (!def) return 0;
  // Exempt from the file name rule: the name is whatever the text says.
  char name[96];
  std::snprintf(name, sizeof name, "%03u_%.60s.tdef", def->table_id, def->name.c_str());
  def->file_name = name;
  if (!tablegen::resolve_layout(*def, diags)) return 0;
  tablegen::validate_definition(*def, diags);
  if (diags.has_errors()) return 0;
  const zim_codec::TypeLayout layout = tablegen::plan_layout(*def);

  const model::Model m = model::check(text);
  if (!m.error.empty()) fail(m.error, text);
  std::vector<uint64_t> flag_at;
  for (const auto& f : layout.fields) flag_at.push_back(f.flag_at);
  if (flag_at != m.flag_at) fail("flag offsets", text);
  if (layout.npd_present != m.npd_present) fail("npd_present", text);
  if (layout.checks.fix_ptrs.line != m.lines.fix_ptrs ||
      layout.checks.size_ptr.line != m.lines.size_ptr || layout.checks.alloc.line != m.lines.alloc)
    fail("check lines", text);
  return 0;
}
