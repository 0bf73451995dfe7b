// SPDX-License-Identifier: Apache-2.0
// libzim_memory: whether an index keeps its invariants, for the tests and the
// inspector: what a writer relies on, checked from the slots alone.

#include <cinttypes>
#include <cstdio>

#include "index/index_slots.hpp"

namespace zim_sim {

std::string index_check(const Index& index) {
  char problem[192];
  const uint64_t pending = index.header->pending.load(kIndexRelaxed);
  if (pending != 0) {
    std::snprintf(problem, sizeof problem, "operation %" PRIu64 " under way: not recovered",
                  pending);
    return problem;
  }
  uint64_t live = 0;
  for (uint64_t at = 0; at < index.slot_count; ++at) {
    if (!control_occupied(index.slots[at].control.load(kIndexRelaxed))) continue;
    ++live;
    // The probe for a slot's key must end at that slot: no empty slot cuts
    // its path and no earlier slot holds the key too.
    const IndexItem item = item_at(index, at);
    const IndexProbe probe = index_probe(index, item.table_id, item.key);
    if (probe.slot != at) {
      std::snprintf(problem, sizeof problem,
                    "slot %" PRIu64 " holds key %" PRIu64 " of table id %" PRIu32
                    ", which a probe %s at slot %" PRIu64,
                    at, item.key, item.table_id, probe.found ? "finds" : "gives up", probe.slot);
      return problem;
    }
  }
  const uint64_t counted = index.header->live.load(kIndexRelaxed);
  if (counted != live) {
    std::snprintf(problem, sizeof problem, "%" PRIu64 " keys counted, %" PRIu64 " in the slots",
                  counted, live);
    return problem;
  }
  return {};
}

}  // namespace zim_sim
