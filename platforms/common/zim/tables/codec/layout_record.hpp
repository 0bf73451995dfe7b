// SPDX-License-Identifier: Apache-2.0
// The layout record: one type's layout as processes sharing its objects see
// it, one readable line per fact. A layout manifest is a preamble and the
// records of a catalogue; each type header carries its record in its layout
// note (zim/tables/layout_note.h); a pool keeps the record of each type it
// holds objects of. The record is written and read here, and only here.
//
// Reading is strict: a record is generated text, so every line must be the
// one the writer puts next, every number plain decimal within its bound, and
// every fact that follows from the fields (flag positions, npd_present, the
// dynamic order, the fingerprint) must be the one they give. A record read
// from outside bytes is then held to the layout rules (layout_rules.hpp), so
// that every offset, width and count it states lies inside its fixed size.
// Nothing here throws but std::bad_alloc.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/model.hpp"
#include "codec/report.hpp"

namespace zim_codec {

// The record of a type, from "type ID NAME\n" to its "wisp" line.
std::string layout_record(const TypeLayout& type);

// A check site as its "check" line spells it: "none", or its line and the
// quoted prototype.
std::string check_text(const CheckSite& site);

// One record as its lines state it: the facts and fields (each field with
// the flag position its line states) in `layout`, with the line of each fact;
// `layout.checks` as stated. What follows from the fields is not yet judged.
struct StatedRecord {
  TypeLayout layout;
  std::optional<uint64_t> fingerprint;
  int fingerprint_line = 0;
  int dynamic_line = 0;
  std::array<int, 3> check_lines{};
};

// Reads the records of a text (a manifest, or one record) line by line.
// Every malformed line is reported; a record with one is skipped. Each
// complete record goes to `judge`, which tells whether it is taken: the
// records must come in ascending table-id order from one taken to the next.
// Returns how many were taken.
using RecordJudge = std::function<bool(StatedRecord&&)>;
size_t read_record_lines(const std::string& path, std::string_view text, const Report& fail,
                         const RecordJudge& judge);

// Reports every fact the record states that does not follow from its fields:
// the flag position of each field, npd_present and the dynamic order.
void check_stated_placement(const StatedRecord& record, const Report& fail);

// The runtime's judgement of one stated record: its names' shape, the layout
// rules, what follows from its fields and its fingerprint. Completes the
// layout (its flag area) and reports through fail; whether it holds.
bool judge_record(StatedRecord& record, const Report& fail);

// The layouts of a manifest's text, each judged by judge_record, in
// table-id order with no id or name twice; nothing after a report.
std::optional<std::vector<TypeLayout>> read_layouts(const std::string& path, std::string_view text,
                                                    const Report& fail);

// The layout of one layout record (a record without preamble); nothing when
// the text is not one, with the first report in *why, "NAME:LINE: error:
// ...", or "" for a text of more than one record, when why is given.
std::optional<TypeLayout> read_layout_record(std::string_view text, std::string* why = nullptr,
                                             const std::string& name = "layout record");

}  // namespace zim_codec
