// SPDX-License-Identifier: Apache-2.0
// The text of what pool and history found: the pool's objects and records,
// its migrations and the layouts they superseded.
#include <algorithm>
#include <string>
#include <utility>

#include "render.hpp"

namespace zim_inspect {
namespace {

std::string text(const Json& value) { return printable(value.get<std::string>()); }

// "2 retired blocks (732 bytes)" then `then`, for a pool or table id that has some.
std::string retired_text(const Json& counts, const char* then) {
  if (counts["retired_blocks"] == 0) return "";
  return counts["retired_blocks"].dump() + " retired blocks (" + counts["retired_bytes"].dump() +
         " bytes)" + then;
}

// "layout records: 5, 1 superseded, 4 not in the catalogue": every count
// that is not 0, so that the summary adds up to the lines below it.
void print_layout_summary(std::ostream& out, const Json& layouts) {
  const auto count = [&](const char* key, const char* value) {
    return std::count_if(layouts.begin(), layouts.end(),
                         [&](const Json& r) { return r[key] == Json(value); });
  };
  const std::pair<long, const char*> kinds[] = {
      {std::count_if(layouts.begin(), layouts.end(),
                     [](const Json& r) { return r["superseded"].get<bool>(); }),
       "superseded"},
      {count("catalogue", "same"), "as in the catalogue"},
      {count("catalogue", "differs"), "differing from the catalogue"},
      {count("catalogue", "absent"), "not in the catalogue"}};
  out << "layout records: " << layouts.size();
  for (const auto& [n, what] : kinds) {
    if (n != 0) out << ", " << n << " " << what;
  }
  out << "\n";
}

void print_layouts(std::ostream& out, const Json& layouts) {
  print_layout_summary(out, layouts);
  for (const auto& r : layouts) {
    out << "  at offset " << r["offset"] << ": table id " << r["table_id"] << " " << text(r["type"])
        << ", fingerprint " << text(r["fingerprint"]) << ", ";
    if (r["superseded"].get<bool>()) {
      out << "superseded by a later record";
    } else if (r["catalogue"] == "same") {
      out << "as in the catalogue";
    } else if (r["catalogue"] == "absent") {
      out << "not in the catalogue";
    } else {
      out << "differs from the catalogue: " << text(r["difference"]);
    }
    out << "\n";
  }
}

void print_migrations(std::ostream& out, const Json& migrations) {
  for (const auto& m : migrations) {
    out << "migration at offset " << m["offset"] << ": ";
    if (m["state"] == "completed") {
      out << "completed, " << m["moves"] << " objects converted\n";
    } else if (m["state"] == "migrating") {
      out << "under way, converting: " << m["moves"] << " of " << m["move_capacity"]
          << " objects converted\n";
    } else {
      out << "under way: every object converted (" << m["moves"] << "), its moves being reported\n";
    }
    for (const auto& t : m["types"]) {
      out << "  table id " << t["table_id"] << " " << text(t["type"]) << ": fingerprint "
          << text(t["old_fingerprint"]) << " -> " << text(t["new_fingerprint"]) << "\n";
    }
    if (const Json& c = m["cut_short"]; !c.is_null()) {
      out << "  a conversion cut short: the block of " << c["size"] << " bytes at offset "
          << c["offset"] << " (table id " << c["table_id"]
          << "), which the migration's next step takes back\n";
    }
    if (!m["finish"].is_null()) out << "  finishing it: " << text(m["finish"]) << "\n";
  }
}

void print_record_problems(std::ostream& out, const Json& problems) {
  for (const auto& p : problems) {
    out << "problem: ";
    if (!p["offset"].is_null()) out << "record at offset " << p["offset"] << ": ";
    out << text(p["problem"]) << "\n";
  }
}

// What the pool records of itself: the config (each NPD size with --list),
// each layout record against the catalogue, the migrations, the id pages
// counted (listed with --list), and the records it cannot be trusted with.
void print_records(std::ostream& out, const Json& records, const Json& problems, bool list) {
  if (const Json& c = records["config"]; !c.is_null()) {
    out << "config record at offset " << c["offset"] << ": N " << c["npus"] << ", NPD size "
        << c["default_npd_size"] << ", " << c["npd_sizes"].size()
        << " table ids with an NPD size of their own\n";
    if (list) {
      for (const auto& e : c["npd_sizes"]) {
        out << "  table id " << e["table_id"] << ": NPD size " << e["size"] << "\n";
      }
    }
  }
  print_layouts(out, records["layout_records"]);
  print_migrations(out, records["migrations"]);
  if (records["retired_records"] != 0) {
    out << "retired records: " << records["retired_records"]
        << " (superseded layouts and completed migrations: see history)\n";
  }
  out << "id pages: " << records["id_pages"];
  if (records.contains("id_page_offsets")) {
    const char* sep = " at offsets ";
    for (const auto& at : records["id_page_offsets"]) out << std::exchange(sep, ", ") << at;
  }
  out << "\n";
  print_record_problems(out, problems);
}

void print_root(std::ostream& out, const Json& root) {
  if (root.is_null()) return;  // nothing published
  if (root["size"].is_null()) {
    out << "problem: the root slot names offset " << root["offset"] << ", where no block starts\n";
  } else if (root["table_id"].is_null()) {
    out << "root record: " << root["size"] << " bytes at offset " << root["offset"]
        << " (an untyped block)\n";
  } else {
    out << "root object: " << text(root["type"]) << " (table id " << root["table_id"] << "), "
        << root["size"] << " bytes at offset " << root["offset"] << ", ";
    if (root["retired"].get<bool>()) {
      out << "a retired block"
          << (root["consistent"].get<bool>() ? " (the migration under way moves the root on)"
                                             : ": INCONSISTENT")
          << "\n";
    } else {
      out << (root["consistent"].get<bool>() ? "consistent" : "INCONSISTENT") << "\n";
    }
  }
}

void print_blocks(std::ostream& out, const Json& blocks) {
  for (const auto& b : blocks) {
    const char* what = b["retired"].get<bool>()     ? "retired block"
                       : b["cut_short"].get<bool>() ? "conversion cut short"
                                                    : "object";
    out << what << " at offset " << b["offset"] << ": " << text(b["type"]) << " (table id "
        << b["table_id"] << "), " << b["size"] << " bytes, uid " << b["uid"] << "\n";
  }
}

// A versioned pool's feed and index in use, and each object that needs an eye.
void print_rooms(std::ostream& out, const Json& v) {
  if (!v.contains("feed")) return;
  out << "feed: next sequence " << v["feed"]["next_sequence"] << ", " << v["feed"]["capacity"]
      << " entries\n";
  out << "index: " << v["index"]["keys"] << " keys of " << v["index"]["capacity"] << ", "
      << v["unindexed"] << " objects of indexed table ids without a key\n";
  for (const auto& t : v["torn_objects"]) {
    out << "torn at offset " << t["offset"] << ": table id " << t["table_id"] << ", pool id "
        << t["pool_id"] << ", version " << t["version"] << ", its dead writer was process "
        << t["writer_pid"] << "\n";
  }
  for (const auto& u : v["unindexed_objects"]) {
    out << "without a key at offset " << u["offset"] << ": table id " << u["table_id"]
        << ", pool id " << u["pool_id"] << "\n";
  }
}

}  // namespace

void print_pool(std::ostream& out, const Json& pool) {
  out << "pool " << text(pool["pool"]) << ": " << pool["objects"] << " objects, " << pool["bytes"]
      << " bytes, " << retired_text(pool, ", ")
      << (pool["consistent"].get<bool>() ? "consistent" : "INCONSISTENT") << "\n";
  print_records(out, pool["records"], pool["problems"], pool.contains("blocks"));
  for (const auto& t : pool["tables"]) {
    out << "table id " << t["table_id"] << " " << text(t["type"]) << ": " << t["objects"]
        << " objects, " << t["empty_blocks"] << " empty blocks, " << t["bytes"] << " bytes, "
        << t["problems"].size() << " problems";
    if (t["retired_blocks"] != 0) out << ", " << retired_text(t, "");
    if (!t["layout"].is_null()) out << ", layout from the " << text(t["layout"]);
    out << "\n";
    for (const auto& p : t["problems"]) {
      out << "  at offset " << p["offset"] << ": " << text(p["problem"]) << "\n";
    }
  }
  if (const Json& v = pool.value("versions", Json()); !v.is_null()) {
    out << "versions: sequence " << v["sequence"] << ", " << v["pool_ids"] << " pool ids drawn, "
        << v["under_way"] << " writes under way, " << v["torn"] << " torn by a dead writer";
    if (v["torn"] != 0) out << " (the first at offset " << v["first_torn"] << ")";
    if (const Json& h = v.value("writes_holder", Json()); !h.is_null()) {
      out << ", only process " << h << " may write";
    }
    out << "\n";
    print_rooms(out, v);
  }
  print_root(out, pool["root"]);
  for (const auto& u : pool["untyped"]) {
    out << "untyped block of " << u["size"] << " bytes at offset " << u["offset"] << "\n";
  }
  if (pool.contains("blocks")) print_blocks(out, pool["blocks"]);
  for (const auto& d : pool["damaged"]) {
    out << "damaged: " << d["size"] << " bytes at offset " << d["offset"]
        << " are neither a block nor free space\n";
  }
}

void print_history(std::ostream& out, const Json& history) {
  out << "pool " << text(history["pool"])
      << ": completed migrations: " << history["completed_migrations"]
      << ", superseded layouts: " << history["superseded_layouts"].size() << "\n";
  print_migrations(out, history["migrations"]);
  for (const auto& r : history["superseded_layouts"]) {
    out << "superseded layout at offset " << r["offset"] << ": table id " << r["table_id"] << " "
        << text(r["type"]) << ", fingerprint " << text(r["fingerprint"]) << ", "
        << (r["retired"].get<bool>() ? "retired" : "still live");
    if (!r["migration"].is_null())
      out << ", replaced by the migration at offset " << r["migration"];
    out << "\n";
  }
  print_record_problems(out, history["problems"]);
}

}  // namespace zim_inspect
