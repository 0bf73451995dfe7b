// SPDX-License-Identifier: Apache-2.0
// One type record of a manifest while it is read (manifest_reader.cpp): its
// lines in the order manifest_text writes them, and what they state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gen/layout/type_layout.hpp"
#include "gen/manifest/manifest_words.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// The lines of a record in their order; field and array lines repeat.
enum class ManifestKey {
  kType,
  kFingerprint,  // optional: older manifests have none
  kClass,
  kFixedSize,
  kCountField,
  kSizeCheck,
  kObjFlagsBit5,
  kHeader,
  kField,
  kNpdPresent,
  kDynamic,
  kCheckFixPtrs,
  kCheckSizePtr,
  kCheckAlloc,
  kWisp,
  kDone
};

// The key a line starts with, as an error message names it.
const char* key_text(ManifestKey key);
// The key of a line's words, or nothing for an unknown one.
std::optional<ManifestKey> key_of(const std::vector<std::string>& words);

// The definition that would have produced the record, which the definition
// rules judge, and the facts the record states that follow from the
// definition, which must be what the planner derives.
struct ManifestRecord {
  Definition def;
  FactLines lines;
  std::vector<uint32_t> flag_at;  // per field
  uint32_t npd_present = 0;
  std::vector<uint32_t> dynamic;
  CheckSites checks;
  std::optional<uint64_t> fingerprint;
  int fingerprint_line = 0;
  int dynamic_line = 0;
  std::array<int, 3> check_lines{};
  ManifestKey next = ManifestKey::kFingerprint;
  bool broken = false;  // an error was reported; the rest of the record is skipped
};

// Reports, through fail, every fact of the record that follows from its
// fields and is not the one the planner derives from them.
void check_derived(const ManifestRecord& r, const TypeLayout& planned,
                   const ManifestWords::Report& fail);

}  // namespace tablegen
