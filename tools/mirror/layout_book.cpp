// SPDX-License-Identifier: Apache-2.0
#include "layout_book.hpp"

#include "codec/compat.hpp"
#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/printable.hpp"

namespace zim_mirror {

const SourceLayout* LayoutBook::find(uint64_t fingerprint) const {
  const auto it = by_fingerprint_.find(fingerprint);
  return it == by_fingerprint_.end() ? nullptr : &it->second;
}

// The first change between the source's layout and this program's that
// breaks a reader, as the codec's compatibility report words it.
std::string LayoutBook::difference(const zim_codec::TypeLayout& source,
                                   const OwnLayout& own) const {
  const auto mine = zim_codec::read_layout_record(own.text);
  if (!mine) return "this program's own record of it does not read";
  const auto lines = zim_codec::compat_lines({source}, {*mine});
  for (const zim_codec::CompatLine& line : lines) {
    if (line.breaking) return zim_codec::printable(line.text, 400);
  }
  return lines.empty() ? "the fingerprints differ" : zim_codec::printable(lines[0].text, 400);
}

const SourceLayout& LayoutBook::learn(uint64_t fingerprint, uint32_t table_id,
                                      const std::string& text) {
  SourceLayout& known = by_fingerprint_[fingerprint];
  const std::string named = "layout " + zim_codec::fingerprint_hex(fingerprint) + " of table id " +
                            std::to_string(table_id);
  std::string why;
  auto layout = zim_codec::read_layout_record(text, &why);
  if (!layout) {
    known.stopped = "the source's " + named + " does not read: " + zim_codec::printable(why, 400);
  } else if (layout->table_id != table_id ||
             zim_codec::layout_fingerprint(*layout) != fingerprint) {
    known.stopped = "the source's " + named + " is the record of another table id or layout";
  } else if (const auto own = own_.find(table_id);
             own != own_.end() && own->second.fingerprint != fingerprint) {
    known.stopped = "type " + zim_codec::quote(layout->name) + " (table id " +
                    std::to_string(table_id) + ") is laid out otherwise at the source (" +
                    zim_codec::fingerprint_hex(fingerprint) + ") than here (" +
                    zim_codec::fingerprint_hex(own->second.fingerprint) +
                    "): " + difference(*layout, own->second) + "; its objects are not mirrored";
  } else {
    known.layout = std::move(layout);
  }
  return known;
}

}  // namespace zim_mirror
