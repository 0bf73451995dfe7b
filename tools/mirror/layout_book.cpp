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

// A layout other than this program's: converted when the converter carries
// every change, else stopped naming the first that breaks a reader and the
// converter's refusals, never mirrored with wrong values.
void LayoutBook::judge_other(SourceLayout& known, const std::string& text, const OwnLayout& own,
                             uint32_t npus, uint32_t npd_size) {
  const zim_codec::TypeLayout& layout = *known.layout;
  const std::string title = "type " + zim_codec::quote(layout.name) + " (table id " +
                            std::to_string(layout.table_id) + ") is laid out otherwise at the " +
                            "source (" +
                            zim_codec::fingerprint_hex(zim_codec::layout_fingerprint(layout)) +
                            ") than here (" + zim_codec::fingerprint_hex(own.fingerprint) + "): ";
  auto mine = zim_codec::read_layout_record(own.text);
  if (!mine) {
    known.layout.reset();
    known.stopped = title + "this program's own record of it does not read";
    return;
  }
  std::string refused;
  known.upgrade =
      LayoutUpgrade::plan(text, own.text, *mine, own.fingerprint, npus, npd_size, refused);
  if (known.upgrade) return;
  known.stopped = title + difference(layout, own) + "; the converter refuses it: " + refused +
                  "; its objects are not mirrored";
  known.layout.reset();
}

const SourceLayout& LayoutBook::learn(uint64_t fingerprint, uint32_t table_id,
                                      const std::string& text, uint32_t npus, uint32_t npd_size) {
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
  } else {
    known.layout = std::move(layout);
    const auto own = own_->by_id.find(table_id);
    if (own == own_->by_id.end()) {
      known.received = text;
    } else if (own->second.fingerprint != fingerprint) {
      judge_other(known, text, own->second, npus, npd_size);
    }
  }
  return known;
}

}  // namespace zim_mirror
