// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/manifest_record.hpp"

#include <string>

namespace tablegen {

void check_derived(const StatedRecord& record, const TypeLayout& planned, const Report& fail) {
  check_stated_placement(record, fail);
  const CheckSite* derived[] = {&planned.checks.fix_ptrs, &planned.checks.size_ptr,
                                &planned.checks.alloc};
  const CheckSites& checks = record.layout.checks;
  const CheckSite* stated[] = {&checks.fix_ptrs, &checks.size_ptr, &checks.alloc};
  for (int i = 0; i < 3; ++i) {
    if (derived[i]->line == stated[i]->line && derived[i]->prototype == stated[i]->prototype) {
      continue;
    }
    fail(record.check_lines[i], "this layout's check is " + check_text(*derived[i]));
  }
}

}  // namespace tablegen
