// SPDX-License-Identifier: Apache-2.0
// save's and restore's summaries, as JSON and as text.

#include <ostream>

#include "image_save.hpp"
#include "render.hpp"

namespace zim_inspect {

Json save_doc(const SaveReport& r) {
  Json torn = Json::array();
  for (const TornObject& t : r.torn) {
    torn.push_back({{"offset", t.offset},
                    {"table_id", t.table_id},
                    {"pool_id", t.pool_id},
                    {"state", t.writer_pid != 0 ? "torn" : "under way"},
                    {"writer_pid", t.writer_pid}});
  }
  return {{"pool", r.pool},
          {"file", r.file},
          {"objects", r.objects},
          {"bytes", r.bytes},
          {"keys", r.keys},
          {"next_sequence", r.next_sequence},
          {"copies_taken_again", r.retries},
          {"retired_meanwhile", r.gone},
          {"keys_left_out", r.keys_left_out},
          {"left_out", torn}};
}

void print_save(std::ostream& out, const Json& d) {
  out << "saved " << d["objects"] << " objects and " << d["keys"] << " keys of the pool "
      << printable(d["pool"].get<std::string>()) << " to "
      << printable(d["file"].get<std::string>()) << " (" << d["bytes"]
      << " bytes); its feed continues at sequence " << d["next_sequence"] << "\n";
  for (const Json& t : d["left_out"]) {
    out << "left out the object at offset " << t["offset"] << " (table id " << t["table_id"]
        << ", pool id " << t["pool_id"] << "): ";
    if (t["state"] == "torn") {
      out << "torn, its writer (process " << t["writer_pid"] << ") died during a write\n";
    } else {
      out << "a write of it lasted past 10 s\n";
    }
  }
  if (d["keys_left_out"] != 0) {
    out << d["keys_left_out"] << " keys led to objects not in the image (left out)\n";
  }
}

void print_restore(std::ostream& out, const Json& d) {
  out << "restored " << d["objects"] << " objects, " << d["layouts"] << " layout records and "
      << d["keys"] << " keys as the pool " << printable(d["pool"].get<std::string>())
      << ", handed over: adopt it; its feed continues at sequence " << d["next_sequence"] << "\n";
}

}  // namespace zim_inspect
