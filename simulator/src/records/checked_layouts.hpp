// SPDX-License-Identifier: Apache-2.0
// Which table ids this process has checked against the mapped pool's layout
// records (checked_layouts.cpp): the first block of an id checks the
// program's note of it, its later blocks go without, until another pool is
// mapped or other objects are loaded. Process-local: nothing of the pool.
#ifndef ZIM_SIM_SRC_RECORDS_CHECKED_LAYOUTS_HPP
#define ZIM_SIM_SRC_RECORDS_CHECKED_LAYOUTS_HPP

#include <cstdint>
#include <memory>

#include "records/program_layouts.hpp"

namespace zim_sim {

// Whether a block of the table id goes without the program's notes.
bool needs_no_note(uint32_t id);

// The program's note of a table id not yet checked, null for none; false
// after a message when the program has two layouts of the id.
bool note_of(uint32_t id, std::shared_ptr<const ProgramLayouts>* layouts, const NoteLayout** note);

// The id's first block found or recorded the program's layout, `note`, in the
// mapped pool.
void add_checked(uint32_t id, const NoteLayout* note);

// The program's note of a checked id, for the size check of its later
// blocks; null for an id not checked. The notes of every scan are kept for
// the life of the process, so a note handed out stays valid.
const NoteLayout* checked_note(uint32_t id);

// Forgets which table ids this process has checked against the mapped pool's
// layout records: for another pool, or other loaded objects.
void forget_checked_layouts();

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_RECORDS_CHECKED_LAYOUTS_HPP
