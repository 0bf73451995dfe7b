// SPDX-License-Identifier: Apache-2.0
// Writes the layout manifest, the text that read_manifest reads back.
#include "codec/layout_record.hpp"
#include "gen/manifest/manifest.hpp"

namespace tablegen {
namespace {

constexpr const char* kPreamble =
    R"tpl(# Layout of every table type as zim_tablegen derives it from the definitions.
# Generated; do not edit. After changing a definition, refresh it with
#   zim_tablegen --manifest DEFS_DIR > MANIFEST
# and review the diff: a changed line moves bytes under the processes that
# share objects of that type. Offsets and sizes are in bytes.
#   fingerprint: the layout fingerprint, 16 hex digits (absent in older manifests)
#   field OFFSET width W run N flag F: N inline fields of W bytes, flags from F
#   array DATA_PTR per_npu|counted elem E flag_ptr F: element storage and flags
#   either ends in 'name NAME' or 'name NAME was OLD' for a field its definition names
#   dynamic: data pointers in the order their arrays fill the dynamic area
)tpl";

}  // namespace

std::string manifest_text(const std::vector<TypeLayout>& types) {
  std::string out = kPreamble;
  for (const TypeLayout& t : types) out += "\n" + layout_record(t);
  return out;
}

void emit_manifest(const std::vector<TypeLayout>& types, OutputSink& out) {
  out.open("zim_tables.manifest");
  out.write(kPreamble);
  for (auto it = types.begin(); it != types.end() && out.ok(); ++it) {
    out.write("\n" + layout_record(*it));
  }
  out.close();
}

}  // namespace tablegen
