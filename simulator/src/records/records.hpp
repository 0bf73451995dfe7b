// SPDX-License-Identifier: Apache-2.0
// The records: the pool's own records as this process reads them, this
// program's side of them, and the handshake that holds the two together.
// Internal to libzim_memory.
//  - pool_records.hpp: the configuration record, id pages and layout records
//    (finding and checking them), and the handshake of an attacher or adopter.
//  - migration_record.hpp: the migration record's words, read and checked.
//  - program_layouts.hpp: the layout notes of this program's loaded objects.
//  - checked_layouts.hpp: which table ids this process has checked against
//    the mapped pool.
//
// Its rule: a pool's bytes are anyone's of its user to write. Every offset and
// size read from them is checked before it is followed, and a record that does
// not check reads as none (or as damaged, in messages).
//
// What it writes: of a segment, only the configuration record (its bytes,
// block header and start bit, PoolHeader::config and the carve point past
// it), once, while the pool is created and nobody else can reach it
// (write_config). Layout records and id pages are written by alloc/ and
// migration/, the migration record by migration/. The handshake writes
// nothing itself: the step its caller passes runs under the pool's lock once
// the checks pass. What it only reads: the configuration record, id pages,
// layout records and the migration record; the mark of an upgrade under way
// (segment/upgrade_mark.hpp), which refuses attachers; the loaded objects' notes.
// Process-local: the scan of the notes and the checked ids.
//
// Uses segment/ and platform/ (environment parsing; N and the NPD sizes
// through their libraries' API), and the generator's core for the first
// difference between two layout records.
#ifndef ZIM_SIM_SRC_RECORDS_RECORDS_HPP
#define ZIM_SIM_SRC_RECORDS_RECORDS_HPP

#include "records/checked_layouts.hpp"
#include "records/migration_record.hpp"
#include "records/pool_records.hpp"
#include "records/program_layouts.hpp"

#endif  // ZIM_SIM_SRC_RECORDS_RECORDS_HPP
