// SPDX-License-Identifier: Apache-2.0
// pool's account of a versioned pool, read by name without mapping it: the
// sequence and pool ids, the feed and index in use, the writes under way, the
// process that alone may write it, and each object torn by a dead writer or
// left out of the index.
#include <zim/sim/pool_versions.h>

#include "pool.hpp"

namespace zim_inspect {
namespace {

constexpr size_t kListed = 1000;  // objects listed of each kind; all are counted

int collect(const zim_shm_pool_object_fault_t* f, void* context) {
  Json& faults = *static_cast<Json*>(context);
  const bool torn = f->state == ZIM_SHM_POOL_OBJECT_TORN;
  Json& list = faults[torn ? "torn_objects" : "unindexed_objects"];
  if (list.size() >= kListed) return 0;
  Json object{{"offset", f->offset}, {"table_id", f->table_id}, {"pool_id", f->pool_id}};
  if (torn) {
    object["version"] = f->version;
    object["writer_pid"] = f->writer_pid;
  }
  list.push_back(std::move(object));
  return 0;
}

}  // namespace

std::optional<Json> versions_report(const std::string& name) {
  zim_shm_pool_versions_report_t v{};
  if (zim_shm_pool_versions_read(name.c_str(), &v) != 1) return std::nullopt;
  Json report{{"sequence", v.sequence},
              {"pool_ids", v.pool_ids},
              {"under_way", v.under_way},
              {"torn", v.torn},
              {"first_torn", v.first_torn}};
  // The process that alone may write the pool, if one claimed its writes.
  pid_t holder = 0;
  report["writes_holder"] =
      zim_shm_pool_writes_holder(name.c_str(), &holder) == 1 ? Json(holder) : Json();
  zim_shm_pool_rooms_report_t rooms{};
  Json faults{{"torn_objects", Json::array()}, {"unindexed_objects", Json::array()}};
  if (zim_shm_pool_rooms_read(name.c_str(), &rooms, collect, &faults) != 1) return report;
  report["feed"] = {{"next_sequence", rooms.next_sequence}, {"capacity", rooms.feed_capacity}};
  report["index"] = {{"keys", rooms.index_keys}, {"capacity", rooms.index_capacity}};
  report["unindexed"] = rooms.unindexed;
  report["torn_objects"] = std::move(faults["torn_objects"]);
  report["unindexed_objects"] = std::move(faults["unindexed_objects"]);
  return report;
}

}  // namespace zim_inspect
