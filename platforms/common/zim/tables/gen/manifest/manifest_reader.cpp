// SPDX-License-Identifier: Apache-2.0
// Reads a layout manifest back, strictly: the runtime reads its records
// (codec/layout_record.hpp), and each record is then judged by the rules a
// definition must pass, and every fact the generator derives (flag
// positions, npd_present, check lines, prototypes) must equal what the
// record's fields give, so a manifest can only describe a layout that some
// definition produces.
#include "codec/fingerprint.hpp"
#include "codec/flag_placement.hpp"
#include "codec/layout_record.hpp"
#include "gen/check/validator.hpp"
#include "gen/layout/plan.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/manifest/manifest_record.hpp"
#include "gen/names/names.hpp"

namespace tablegen {
namespace {

class ManifestReader {
 public:
  ManifestReader(const std::string& path, Diagnostics& diags) : path_(path), diags_(diags) {}

  std::optional<std::vector<TypeLayout>> run(std::string_view text) {
    const size_t errors_before = diags_.error_count();
    const size_t taken = read_record_lines(
        path_, text, fail_, [this](StatedRecord&& record) { return take(std::move(record)); });
    if (taken == 0 && diags_.error_count() == errors_before) {
      fail_(1, "no 'type' records: not a layout manifest");
    }
    if (diags_.error_count() != errors_before) return std::nullopt;
    validate_catalogue(defs_, diags_);
    if (diags_.error_count() != errors_before) return std::nullopt;
    return std::move(layouts_);
  }

 private:
  // The definition that would have produced the record, which the definition
  // rules judge: its facts and fields, its file name, and the flag area that
  // follows from the fields; its key lines are the record's, so that the
  // layout rules report at the manifest's lines.
  static Definition definition_of(const StatedRecord& record) {
    Definition def;
    static_cast<TypeFacts&>(def) = record.layout;
    def.fields.assign(record.layout.fields.begin(), record.layout.fields.end());
    def.file_name = definition_file_name(def.table_id, def.name);
    complete_flag_area(def, def.fields);
    return def;
  }

  bool take(StatedRecord&& record) {
    Definition def = definition_of(record);
    const size_t errors_before = diags_.error_count();
    validate_definition(def, diags_);
    if (diags_.error_count() != errors_before) return false;
    TypeLayout layout = plan_layout(def);
    check_derived(record, layout, fail_);
    if (record.fingerprint && *record.fingerprint != layout_fingerprint(layout)) {
      fail_(record.fingerprint_line, "fingerprint " + fingerprint_hex(*record.fingerprint) +
                                         " is not the layout's, " +
                                         fingerprint_hex(layout_fingerprint(layout)));
    }
    if (diags_.error_count() != errors_before) return false;
    layout.lines = record.layout.lines;
    layouts_.push_back(std::move(layout));
    defs_.push_back(std::move(def));
    return true;
  }

  const std::string& path_;
  Diagnostics& diags_;
  std::vector<Definition> defs_;     // of each accepted record, for the catalogue's rules
  std::vector<TypeLayout> layouts_;  // as planned from each accepted record
  const Report fail_ = [this](int line, const std::string& message) {
    diags_.error(path_, line, message);
  };
};

}  // namespace

std::optional<std::vector<TypeLayout>> read_manifest(const std::string& path,
                                                     const std::string& text, Diagnostics& diags) {
  return ManifestReader(path, diags).run(text);
}

}  // namespace tablegen
