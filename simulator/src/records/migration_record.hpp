// SPDX-License-Identifier: Apache-2.0
// What the allocator needs to know of a migration under way (migration.cpp).
#ifndef ZIM_SIM_SRC_MIGRATION_HPP
#define ZIM_SIM_SRC_MIGRATION_HPP

#include <cstdint>

#include "segment/segment.hpp"

namespace zim_sim {

// Whether a process that owns the pool at hdr (locked) may make objects of
// table_id with the layout of `fingerprint` although the pool records another
// layout of it: while a migration converts the id's objects to that layout.
bool migration_takes(const PoolHeader* hdr, uint32_t table_id, uint64_t fingerprint);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_MIGRATION_HPP
