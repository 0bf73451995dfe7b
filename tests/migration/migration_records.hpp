// SPDX-License-Identifier: Apache-2.0
// The layout records of the converter's two test catalogues (v1/, v2/),
// paired by table id. One program links both generations, so their types are
// named apart; the older record is rewritten under the newer type's name, as
// a pool would hold it had both generations used one name.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "codec/layout_record.hpp"
#include "codec/record_difference.hpp"
#include "gen/load/catalogue_loader.hpp"

namespace migration_test {

struct RecordPair {
  zim_codec::TypeLayout older, newer;  // older under newer's name
  std::string older_text, newer_text;
};

inline std::vector<zim_codec::TypeLayout> read_layouts(const std::string& path) {
  tablegen::Diagnostics diags;
  auto layouts = tablegen::load_layouts(path, diags);
  if (!layouts) throw std::runtime_error("unreadable manifest " + path);
  return *layouts;
}

// The layout under another name: in its type line and its checks'
// prototypes, with the fingerprint made anew.
inline zim_codec::TypeLayout renamed(const zim_codec::TypeLayout& t, const std::string& name) {
  std::string text = zim_codec::layout_record(t);
  for (size_t at = 0; (at = text.find(t.name, at)) != std::string::npos; at += name.size()) {
    text.replace(at, t.name.size(), name);
  }
  const size_t fingerprint = text.find("  fingerprint ");
  text.erase(fingerprint, text.find('\n', fingerprint) + 1 - fingerprint);
  auto layout = zim_codec::read_layout_record(text);
  if (!layout) throw std::runtime_error("a renamed record does not read back: " + text);
  return *layout;
}

inline std::vector<RecordPair> record_pairs(const std::string& older_manifest,
                                            const std::string& newer_manifest) {
  std::vector<RecordPair> pairs;
  const auto older = read_layouts(older_manifest);
  for (const zim_codec::TypeLayout& newer : read_layouts(newer_manifest)) {
    for (const zim_codec::TypeLayout& old : older) {
      if (old.table_id != newer.table_id) continue;
      RecordPair p{renamed(old, newer.name), newer, "", zim_codec::layout_record(newer)};
      p.older_text = zim_codec::layout_record(p.older);
      pairs.push_back(std::move(p));
    }
  }
  return pairs;
}

}  // namespace migration_test
