// SPDX-License-Identifier: Apache-2.0
// follow's lines: a change, an object a resync found, and the follower's own
// events, as text or as one JSON object a line.
#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "follow.hpp"
#include "render.hpp"

namespace zim_inspect {
namespace {

// The feed's kinds, as zim/sim/pool_versions.h numbers them.
const char* const kKindNames[] = {
    nullptr,        "created",   "changed",         "retired",
    "indexed",      "unindexed", "moved",           "layout-changed",
    "handed-over",  "adopted",   "migration-begun", "migration-finished",
    "root-changed", "lost"};

bool names_object(uint32_t kind) {
  return kind == ZIM_SHM_POOL_CHANGE_CREATED || kind == ZIM_SHM_POOL_CHANGE_CHANGED ||
         kind == ZIM_SHM_POOL_CHANGE_RETIRED || kind == ZIM_SHM_POOL_CHANGE_INDEXED ||
         kind == ZIM_SHM_POOL_CHANGE_UNINDEXED || kind == ZIM_SHM_POOL_CHANGE_MOVED;
}

std::string table_text(uint32_t table_id) {
  return table_id == ZIM_SHM_POOL_UNTYPED ? "untyped" : "table " + std::to_string(table_id);
}

Json table_json(uint32_t table_id) {
  return table_id == ZIM_SHM_POOL_UNTYPED ? Json("untyped") : Json(table_id);
}

// Decode's text under its line, indented, so that every line of the tool
// that starts at the margin is a change or an event.
void put_indented(std::ostream& out, const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) out << "    " << line << "\n";
}

void put_json_line(std::ostream& out, const Json& line) {
  out << line.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n" << std::flush;
}

}  // namespace

std::string change_kind_name(uint32_t kind) {
  if (kind < sizeof kKindNames / sizeof kKindNames[0] && kKindNames[kind] != nullptr) {
    return kKindNames[kind];
  }
  return "kind-" + std::to_string(kind);
}

void print_change(std::ostream& out, const zim_shm_pool_change_t& c, bool json,
                  const std::optional<Json>& decoded, const std::string& decoded_text) {
  const bool object = names_object(c.kind);
  const bool versioned =
      c.kind == ZIM_SHM_POOL_CHANGE_CREATED || c.kind == ZIM_SHM_POOL_CHANGE_CHANGED ||
      c.kind == ZIM_SHM_POOL_CHANGE_RETIRED || c.kind == ZIM_SHM_POOL_CHANGE_MOVED;
  const bool moved = c.kind == ZIM_SHM_POOL_CHANGE_MOVED;
  const bool keyed =
      c.kind == ZIM_SHM_POOL_CHANGE_INDEXED || c.kind == ZIM_SHM_POOL_CHANGE_UNINDEXED;
  if (json) {
    Json line{{"event", "change"}, {"sequence", c.sequence}, {"kind", change_kind_name(c.kind)}};
    if (object) {
      line["table_id"] = table_json(c.table_id);
      line["offset"] = c.offset;
      line["pool_id"] = c.pool_id;
    }
    if (versioned) line["version"] = 2 * c.sequence;
    if (keyed) line["key"] = c.key;
    if (moved) line["new_offset"] = c.key;
    if (decoded) line["object"] = *decoded;
    put_json_line(out, line);
    return;
  }
  out << c.sequence << " " << change_kind_name(c.kind);
  if (object) {
    out << " " << table_text(c.table_id) << " offset " << c.offset << " pool-id " << c.pool_id;
  }
  if (moved) out << " to offset " << c.key;
  if (versioned) out << " version " << 2 * c.sequence;
  if (keyed) out << " key " << c.key;
  out << "\n";
  put_indented(out, decoded_text);
  out << std::flush;
}

void print_resync_object(std::ostream& out, const zim_shm_pool_object_version_t& o, bool json,
                         const std::optional<Json>& decoded, const std::string& decoded_text) {
  const char* const state = o.kind == ZIM_SHM_POOL_CHANGE_RETIRED      ? nullptr
                            : o.state == ZIM_SHM_POOL_OBJECT_TORN      ? "torn"
                            : o.state == ZIM_SHM_POOL_OBJECT_UNDER_WAY ? "under-way"
                                                                       : nullptr;
  const std::string kind = o.kind == ZIM_SHM_POOL_CHANGE_RETIRED ? "retired" : "changed";
  if (json) {
    Json line{{"event", "resync"},  {"kind", kind},         {"table_id", table_json(o.table_id)},
              {"offset", o.offset}, {"pool_id", o.pool_id}, {"version", o.version}};
    if (state != nullptr) line["state"] = state;
    if (decoded) line["object"] = *decoded;
    put_json_line(out, line);
    return;
  }
  out << "resync " << kind << " " << table_text(o.table_id) << " offset " << o.offset << " pool-id "
      << o.pool_id << " version " << o.version;
  if (state != nullptr) out << " " << state;
  out << "\n";
  put_indented(out, decoded_text);
  out << std::flush;
}

void print_event(std::ostream& out, const FollowEvent& e, bool json) {
  static const char* const kNames[] = {"start", "lost", "lapped", "resynced", "end"};
  if (json) {
    Json line{{"event", kNames[e.kind]}};
    switch (e.kind) {
      case FollowEvent::start:
        line["pool"] = e.text;
        line["next"] = e.sequence;
        break;
      case FollowEvent::lost:
      case FollowEvent::lapped:
        line["sequence"] = e.sequence;
        line["mark"] = e.mark;
        break;
      case FollowEvent::resynced:
        line["objects"] = e.objects;
        line["next"] = e.sequence;
        break;
      case FollowEvent::end:
        line["reason"] = e.text;
        break;
    }
    put_json_line(out, line);
    return;
  }
  switch (e.kind) {
    case FollowEvent::start:
      out << "following " << printable(e.text) << " from sequence " << e.sequence << "\n";
      break;
    case FollowEvent::lost:
      out << e.sequence << " lost: resyncing the changes after " << e.mark << "\n";
      break;
    case FollowEvent::lapped:
      out << "lapped: the changes from " << e.mark + 1 << " to " << e.sequence - 1
          << " left the feed; resyncing the changes after " << e.mark << "\n";
      break;
    case FollowEvent::resynced:
      out << "resynced: " << e.objects << " objects; following from sequence " << e.sequence
          << "\n";
      break;
    case FollowEvent::end:
      out << "end: " << e.text << "\n";
      break;
  }
  out << std::flush;
}

}  // namespace zim_inspect
