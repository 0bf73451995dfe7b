// SPDX-License-Identifier: Apache-2.0
#include "status_report.hpp"

#include <nlohmann/json.hpp>

#include "codec/printable.hpp"
#include "mirror_state.hpp"
#include "publication.hpp"
#include "stream_entry.hpp"

namespace zim_mirror {

int print_status(const std::string& name, bool json, std::ostream& out, std::ostream& err) {
  StateCopy copy;
  std::string why;
  if (!read_state(name, copy, why)) {
    err << "zim_tables_mirror: the pool " << zim_codec::quote(name) << " cannot be read: " << why
        << "\n";
    return 1;
  }
  const StateHeader& h = copy.header;
  const StatePosition& p = h.positions[h.current & 1];
  const uint64_t holds = h.limit != 0 ? h.limit : h.capacity;  // earlier builds: every entry
  const std::string position = StreamId{p.ms, p.seq}.text();
  if (!json) {
    out << "pool " << zim_codec::quote(name) << ": source " << zim_relay::hex64(h.source)
        << ", epoch " << zim_relay::hex64(p.epoch) << ", position " << position << ", applied "
        << h.applied << ", loads " << h.loads << ", " << copy.entries.size()
        << " source pool ids of " << holds << "\n";
    for (const StateEntry& e : copy.entries) {
      out << "  pool id " << e.pool_id << ": table id " << e.table_id << ", source version "
          << e.version << (e.retired ? " (retired)" : "") << "\n";
    }
    return 0;
  }
  nlohmann::ordered_json objects = nlohmann::ordered_json::array();
  for (const StateEntry& e : copy.entries) {
    objects.push_back({{"pool_id", e.pool_id},
                       {"table_id", e.table_id},
                       {"version", e.version},
                       {"retired", e.retired != 0}});
  }
  out << nlohmann::ordered_json{{"source", zim_relay::hex64(h.source)},
                                {"epoch", zim_relay::hex64(p.epoch)},
                                {"position", position},
                                {"applied", h.applied},
                                {"loads", h.loads},
                                {"capacity", holds},
                                {"objects", objects}}
             .dump()
      << "\n";
  return 0;
}

}  // namespace zim_mirror
