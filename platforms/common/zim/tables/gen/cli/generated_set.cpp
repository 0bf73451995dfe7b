// SPDX-License-Identifier: Apache-2.0
#include "gen/cli/generated_set.hpp"

#include "gen/emit/emit_catalogue.hpp"
#include "gen/emit/emit_catalogue_size.hpp"
#include "gen/emit/emit_export_map.hpp"
#include "gen/emit/emit_type_header.hpp"
#include "gen/emit/emit_umbrella_header.hpp"
#include "gen/emit/emit_unit.hpp"
#include "gen/manifest/manifest.hpp"

namespace tablegen {

void emit_generated_set(const std::vector<TypeLayout>& types, OutputSink& out) {
  for (auto it = types.begin(); it != types.end() && out.ok(); ++it) {
    out.add(emit_unit(*it));
    out.add(emit_type_header(*it));
  }
  if (!out.ok()) return;
  emit_umbrella_header(types, out);
  out.add(emit_catalogue_size_header(types));
  for (auto* emit : {emit_export_map, emit_catalogue, emit_manifest}) {
    if (out.ok()) emit(types, out);
  }
}

}  // namespace tablegen
