// SPDX-License-Identifier: Apache-2.0
// The attach gate: PoolHeader::attach_gate, closed (1) from a hand-over or a
// migration's beginning until a migration ends with none under way, and the
// wait for it to open (zim_shm_pool_wait_attachable, attach_gate.cpp), so
// that a follower that saw a hand-over in the feed sleeps until it may attach
// again instead of polling. Internal to libzim_memory.
//
// Its rules: the word is a futex word shared by processes that map it at
// different addresses (FUTEX_WAIT and FUTEX_WAKE without the private flag).
// Opening stores 0 and then wakes every sleeper; a sleeper looks at the word
// and at PoolHeader::migration before and after each sleep. A death leaves
// the gate as it stood: closed, until the next owner's migration ends.
//
// What it writes: the gate word (the owner: closing, opening). What it only
// reads, by name and without attaching: the segment's header.
#ifndef ZIM_SIM_SRC_ATTACH_ATTACH_GATE_HPP
#define ZIM_SIM_SRC_ATTACH_ATTACH_GATE_HPP

#include "segment/segment.hpp"

namespace zim_sim {

void close_attach_gate(PoolHeader* hdr);
// Opens the gate and wakes whoever sleeps on it.
void open_attach_gate(PoolHeader* hdr);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_ATTACH_ATTACH_GATE_HPP
