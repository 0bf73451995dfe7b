// SPDX-License-Identifier: Apache-2.0
// The layouts this program's table types have: the layout notes that the
// generated type headers put into every object they are compiled into
// (zim/tables/layout_note.h), read from the loaded objects' PT_NOTE segments.
#ifndef ZIM_SIM_SRC_RECORDS_PROGRAM_LAYOUTS_HPP
#define ZIM_SIM_SRC_RECORDS_PROGRAM_LAYOUTS_HPP

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "codec/record_difference.hpp"
#include "records/object_sizes.hpp"

namespace zim_sim {

// The layout of one table id as a loaded object's note gives it.
struct NoteLayout {
  uint64_t fingerprint;
  std::string text;    // the layout record, "type ID NAME\n" first
  std::string object;  // the object that carries the note, "the program" for the executable
  // Empty, or why this program cannot use the id: a second note of another layout.
  std::string conflict;
  SizeRule sizes;  // the sizes its objects can have, for the allocator's check
};

// The notes of every object loaded when the scan ran, by table id.
struct ProgramLayouts {
  std::unordered_map<uint32_t, NoteLayout> by_id;
  uint64_t serial;  // grows with every scan that found another set of loaded objects
};

// The notes of the objects loaded now: a scan cached until an object is
// loaded or unloaded (dl_iterate_phdr's counts). Safe from any thread.
std::shared_ptr<const ProgramLayouts> program_layouts();

// Whether the objects loaded now are those that the scan of this serial read:
// one step of dl_iterate_phdr, no scan, no lock.
bool loaded_objects_unchanged(uint64_t serial);

// The type name that a layout record's first line gives, printable, bounded.
std::string record_type_name(std::string_view text);

// The change between two layout records of one table id that first breaks a
// process on one reading objects made on the other, worded from `older` (by
// default the pool's) to `newer` (this program's).
std::string layout_difference(std::string_view older, std::string_view newer,
                              const zim_codec::RecordSides& sides = {});

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_RECORDS_PROGRAM_LAYOUTS_HPP
