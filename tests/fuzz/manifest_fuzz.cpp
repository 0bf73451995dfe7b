// SPDX-License-Identifier: Apache-2.0
// The layout-manifest reader and the compatibility check on arbitrary text.
// Whatever the reader accepts, the independent layout model must accept as a
// catalogue of definitions, with the same flag offsets, npd_present and check
// lines; it must re-serialise to itself and compare with itself as compatible.
// Input holding "\n=====\n" is two manifests, compared as old and new. Anything
// else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/record_difference.hpp"
#include "definition_model.hpp"
#include "gen/manifest/compat.hpp"
#include "gen/manifest/manifest.hpp"

namespace {

using zim_codec::ItemKind;
using zim_codec::TypeLayout;

[[noreturn]] void fail(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "manifest reader: %s\n---\n%s\n---\n", what.c_str(), text.c_str());
  std::abort();
}

std::optional<std::vector<TypeLayout>> read(const std::string& text) {
  tablegen::Diagnostics diags;
  auto layouts = tablegen::read_manifest("fuzz.manifest", text, diags);
  if (layouts.has_value() == diags.has_errors()) fail("a result and errors disagree", text);
  return layouts;
}

// The layout as the definition that states it.
std::string definition_text(const TypeLayout& t) {
  std::string d = "table " + t.name + "\nid " + std::to_string(t.table_id) + "\nclass " +
                  zim_codec::class_keyword(t.type_class) + "\nfixed_size " +
                  std::to_string(t.fixed_size) + "\nheader";
  for (const auto& h : t.header)
    d += " " + std::to_string(h.offset) + ":" + std::to_string(h.width);
  uint64_t flags_at = 0;
  for (const auto& f : t.fields) {
    flags_at = f.offset + (f.kind == ItemKind::kInline ? uint64_t{f.width} * f.run_length : 8);
  }
  d += "\nflags_at " + std::to_string(flags_at);
  if (t.count_field) d += "\ncount_field " + std::to_string(*t.count_field);
  d += std::string("\nsize_check ") + (t.size_check ? "on" : "off");
  d += std::string("\nobj_flags_bit5 ") + (t.sets_obj_flags_bit5 ? "set" : "clear");
  d += "\nwisp";
  for (uint32_t w : t.wisp) d += " " + std::to_string(w);
  for (const auto& f : t.fields) {
    d += "\nfield " + std::to_string(f.offset) + ":" + std::to_string(f.width);
    if (f.kind == ItemKind::kPerNpuArray) d += "xN";
    if (f.kind == ItemKind::kCountedArray) d += "xC";
    if (f.kind == ItemKind::kInline && f.run_length != 1) d += "x" + std::to_string(f.run_length);
    if (!f.name.empty()) d += " " + f.name;
  }
  return d + "\n";
}

void check_accepted(const std::vector<TypeLayout>& layouts, const std::string& text) {
  std::vector<model::Model> models;
  for (const TypeLayout& t : layouts) {
    const std::string def = definition_text(t);
    model::Model m = model::check(def);
    if (!m.error.empty()) fail("the model refuses " + t.name + ": " + m.error + "\n" + def, text);
    std::vector<uint64_t> flag_at;
    for (const auto& f : t.fields) flag_at.push_back(f.flag_at);
    if (flag_at != m.flag_at || t.npd_present != m.npd_present ||
        t.checks.fix_ptrs.line != m.lines.fix_ptrs || t.checks.size_ptr.line != m.lines.size_ptr ||
        t.checks.alloc.line != m.lines.alloc) {
      fail("derived facts of " + t.name + " differ from the model's", text);
    }
    models.push_back(std::move(m));
  }
  if (const std::string e = model::check_catalogue(models); !e.empty())
    fail("the model refuses the catalogue: " + e, text);
  const std::string again = tablegen::manifest_text(layouts);
  const auto reread = read(again);
  if (!reread) fail("its own text does not read back", text);
  if (tablegen::manifest_text(*reread) != again) fail("its own text reads back otherwise", text);
  std::ostringstream report;
  if (tablegen::compare_catalogues(layouts, *reread, report) !=
          tablegen::CompatVerdict::kCompatible ||
      !report.str().empty())
    fail("a catalogue differs from itself:\n" + report.str(), text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find("\n=====\n");
  const auto older = read(input.substr(0, split));
  const auto newer = split == std::string::npos ? std::nullopt : read(input.substr(split + 7));
  if (older) check_accepted(*older, input);
  if (newer) check_accepted(*newer, input);
  if (older && newer) {
    std::ostringstream report;
    const bool breaking = tablegen::compare_catalogues(*older, *newer, report, true) !=
                          tablegen::CompatVerdict::kCompatible;
    if (breaking && report.str().find(": breaking, ") == std::string::npos)
      fail("breaking without a breaking line", input);
  }
  // The same halves as the layout records a pool and a program hold: read as
  // hostile bytes, and breaking exactly when the fingerprints differ.
  if (split == std::string::npos) return 0;
  const std::string_view was = std::string_view(input).substr(0, split);
  const std::string_view is = std::string_view(input).substr(split + 7);
  const std::string difference = zim_codec::first_breaking_difference(was, is);
  const auto a = zim_codec::read_layout_record(was), b = zim_codec::read_layout_record(is);
  if (a && b && a->name == b->name && a->table_id == b->table_id &&
      difference.empty() !=
          (zim_codec::layout_fingerprint(*a) == zim_codec::layout_fingerprint(*b)))
    fail("a record difference that disagrees with the fingerprints: " + difference, input);
  return 0;
}
