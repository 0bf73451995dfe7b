// SPDX-License-Identifier: Apache-2.0
// The pool's own records (pool_records.cpp): its configuration, written at
// creation, its id pages and layout records, and the handshake that checks
// them against this process.
#ifndef ZIM_SIM_SRC_RECORDS_POOL_RECORDS_HPP
#define ZIM_SIM_SRC_RECORDS_POOL_RECORDS_HPP

#include <zim/sim/config.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "records/program_layouts.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

// A configuration: a pool's (its record) or this process's (zim/sim/config.h).
struct Config {
  uint32_t max_num_npus;
  uint32_t default_npd_size;
  std::vector<zim_sim_npd_entry_t> entries;  // ascending by table id
};

// This process's configuration. It may end the process (a bad environment):
// not to be called under the pool's lock.
Config this_process_config();

// The configuration the pool at hdr was made for; false when its record is
// missing or damaged.
bool pool_config(const PoolHeader* hdr, uint64_t pool_size, Config* c);

// The NPD size of table_id in configuration c.
uint32_t npd_size(const Config& c, uint32_t table_id);

// Carves the configuration record of a pool being created, from this
// process's configuration; false with errno ENOSPC when the pool cannot hold it.
bool write_config(PoolHeader* hdr, uint64_t pool_size);

// The slot of a table id in the mapped pool hdr of `size` bytes, null while its
// page is missing or when the directory names no page that fits.
IdSlot* id_slot(PoolHeader* hdr, uint64_t size, uint32_t table_id);

// The text (and fingerprint, if asked for) of the layout record of table_id
// at offset, false when no sound record of that id lies there.
bool read_layout_record(const PoolHeader* hdr, uint64_t pool_size, uint64_t offset,
                        uint32_t table_id, std::string* text, uint64_t* fingerprint = nullptr);

// "type NAME (table id N) of another layout: DIFFERENCE", for messages.
std::string layout_refusal(uint32_t table_id, const NoteLayout& note, std::string_view recorded);

// What a handshake holds against this process: an attacher, the pool's
// configuration and layout records, and no migration under way; an adopter,
// the configuration alone (a migration converts the objects of another
// layout, not those made for another number of NPUs or NPD size).
enum class Handshake { kAttach, kAdopt };

// Holds the pool against this process under the pool's lock: 0, or after a
// line on stderr for each difference, EPROTO (EINVAL for a damaged
// configuration record, EBUSY when an attacher meets a migration). Once the
// checks pass, still under the lock, `admitted` runs: its non-zero result is
// an errno that fails the handshake.
int handshake(PoolHeader* hdr, uint64_t pool_size, const char* name, Handshake kind,
              const std::function<int()>& admitted);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_RECORDS_POOL_RECORDS_HPP
