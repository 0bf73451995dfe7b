// SPDX-License-Identifier: Apache-2.0
// What the pool's records say of its migrations and of the layouts they
// superseded: the live records tell the migration under way, the retired
// ones (which a completed migration leaves) what came before.
#include <algorithm>

#include "codec/fingerprint.hpp"
#include "pool_records.hpp"

namespace zim_inspect {
namespace {

const char* state_of(const PoolMigration& m) {
  if (m.retired) return "completed";
  return m.converting() ? "migrating" : "migrated";
}

// Who completes a migration under way, and what is left for it to do.
Json what_finishes(const PoolMigration& m) {
  if (!m.under_way()) return nullptr;
  const std::string who =
      "zim_shm_pool_migrate in the pool's owner, or in a program that adopts the pool and "
      "carries the new layouts, ";
  if (m.converting()) {
    return who + "converts the " + std::to_string(m.move_capacity - m.move_count) +
           " objects left and completes it";
  }
  return who + "reports every move again and completes it";
}

Json types_of(const PoolMigration& m, const PoolRecords& records) {
  Json types = Json::array();
  for (const auto& t : m.types) {
    // finish() checked that the pool records both layouts.
    const TypeLayout* type = records.layout_by_fingerprint(t.table_id, t.new_fingerprint);
    types.push_back({{"table_id", t.table_id},
                     {"type", type ? type->name : std::string("?")},
                     {"old_fingerprint", zim_codec::fingerprint_hex(t.old_fingerprint)},
                     {"new_fingerprint", zim_codec::fingerprint_hex(t.new_fingerprint)}});
  }
  return types;
}

// The migration that replaced a table id's layout of this fingerprint, if
// any: converting its objects, or only renaming its fields.
const PoolMigration* replaced_by(const PoolRecords& records, uint32_t table_id,
                                 uint64_t fingerprint) {
  for (const PoolMigration& m : records.migrations) {
    const auto* t = m.type(table_id);
    if (t != nullptr && t->old_fingerprint == fingerprint) {
      return &m;
    }
  }
  return nullptr;
}

}  // namespace

Json migrations_report(const PoolRecords& records) {
  Json out = Json::array();
  for (const PoolMigration& m : records.migrations) {
    out.push_back({{"offset", m.offset},
                   {"state", state_of(m)},
                   {"under_way", m.under_way()},
                   {"types", types_of(m, records)},
                   {"moves", m.move_count},
                   {"move_capacity", m.move_capacity},
                   {"finish", what_finishes(m)},
                   {"cut_short", nullptr}});
  }
  return out;
}

Json history_report(const std::string& pool, const PoolRecords& records) {
  Json superseded = Json::array();
  for (const auto& [id, list] : records.layouts) {
    const TypeLayout* last = records.layout(id);
    for (const RecordedLayout& r : list) {
      if (&r.layout == last) continue;
      const PoolMigration* m = replaced_by(records, id, r.fingerprint);
      superseded.push_back({{"offset", r.offset},
                            {"table_id", id},
                            {"type", r.layout.name},
                            {"fingerprint", zim_codec::fingerprint_hex(r.fingerprint)},
                            {"retired", r.retired},
                            {"migration", m ? Json(m->offset) : Json(nullptr)}});
    }
  }
  const auto completed = std::count_if(records.migrations.begin(), records.migrations.end(),
                                       [](const PoolMigration& m) { return m.retired; });
  return {{"pool", pool},
          {"completed_migrations", completed},
          {"migrations", migrations_report(records)},
          {"superseded_layouts", std::move(superseded)},
          {"retired_records", records.retired_records},
          {"problems", records.problems}};
}

}  // namespace zim_inspect
