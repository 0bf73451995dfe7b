// SPDX-License-Identifier: Apache-2.0
// What a pool records of its own objects: N and each table id's NPD size
// (its config record), the layouts of each table id it holds (a layout record
// per id and layout it had) and the migrations of objects to new layouts,
// read from the pool's bytes, which anyone may have written.
#pragma once

#include <zim/sim/shm_pool.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// How a visit reads the piece it visits (zim_shm_pool_piece_read).
using PieceRead = int (*)(const zim_shm_pool_piece_t* piece, uint64_t from, uint64_t size,
                          void* to);

// The record formats, as the pool writes them.
inline constexpr uint64_t kConfigHeaderSize = sizeof(zim_shm_pool_config_t);
inline constexpr uint64_t kConfigEntrySize = sizeof(zim_shm_pool_config_entry_t);
inline constexpr uint64_t kLayoutHeaderSize = sizeof(zim_shm_pool_layout_record_t);
inline constexpr uint64_t kMigrationHeaderSize = sizeof(zim_shm_pool_migration_t);
inline constexpr uint64_t kMigrationTypeSize = sizeof(zim_shm_pool_migration_type_t);
inline constexpr uint64_t kMoveSize = sizeof(zim_shm_pool_move_t);

struct PoolConfig {
  uint64_t offset = 0;  // of its block
  uint32_t npus = 0, default_npd_size = 0;
  std::map<uint32_t, uint32_t> npd_sizes;  // the ids with a size of their own

  uint32_t npd_size(uint32_t table_id) const;
};

struct RecordedLayout {
  uint64_t offset = 0;  // of its block
  uint64_t fingerprint = 0;
  TypeLayout layout;
  bool retired = false;  // a migration or a retirement superseded it
};

// A migration of objects to new layouts. Its record is live while it is under
// way: converting (MIGRATING), or every object converted and the moves being
// reported (MIGRATED); the owner retires it once it has reported them, so a
// retired record is a completed migration.
struct PoolMigration {
  uint64_t offset = 0;  // of its block
  uint32_t state = 0;
  bool retired = false;
  uint64_t carve = 0, move_capacity = 0, move_count = 0;
  std::vector<zim_shm_pool_migration_type_t> types;  // distinct table ids
  // While it converts: the blocks its conversions made, ascending.
  std::vector<uint64_t> converted;

  bool under_way() const { return !retired; }
  bool converting() const { return !retired && state == ZIM_SHM_POOL_MIGRATING; }
  // Whether a conversion of this migration made the block at offset `block`.
  bool made(uint64_t block) const;

  const zim_shm_pool_migration_type_t* type(uint32_t table_id) const;
  // Whether a block of the type's table id at `offset` was made before the
  // migration began: below its carve point and outside the id's chunk then.
  bool made_before(const zim_shm_pool_migration_type_t& type, uint64_t block) const;
};

struct PoolRecords {
  std::optional<PoolConfig> config;
  // By table id, in the pool's order: a record comes with an id's first
  // object, and a new one when a migration or a retirement changes its
  // layout, so the last one holds.
  std::map<uint32_t, std::vector<RecordedLayout>> layouts;
  std::vector<PoolMigration> migrations;  // in the pool's order
  uint64_t id_page_count = 0;
  std::vector<uint64_t> id_pages;  // offsets of their blocks, up to zim_codec::kMaxIdPages
  uint64_t retired_records = 0;    // record blocks retired, read as history when they read
  Json problems = Json::array();   // {offset, problem}: records not trusted

  // Takes the piece if it is a record (config, layout, id page or migration);
  // whether it was one. A record that cannot be read as its format says is a
  // problem, never a source of facts; so is a second record of what one
  // states.
  bool take(const zim_shm_pool_piece_t& piece, PieceRead read);
  // After the last piece: a migration whose layouts the pool does not record
  // is a problem, and not used.
  void finish();

  // The pool's layout of a table id (its last live record), null without a
  // (trusted) record.
  const TypeLayout* layout(uint32_t table_id) const;
  // The layout of a table id's objects in the block at `offset`: the one it
  // had before a migration that has yet to convert it, or, for a retired
  // block, the one it was made with: before the first migration that
  // converted it, else the id's only layout. Null for a retired block of an
  // id whose layout then the pool no longer records (`unrecorded` says so).
  const TypeLayout* layout(uint32_t table_id, uint64_t offset, bool retired,
                           bool* unrecorded = nullptr) const;
  // A recorded layout of a table id by its fingerprint, retired ones too.
  const TypeLayout* layout_by_fingerprint(uint32_t table_id, uint64_t fingerprint) const;
  // The recorded type that a name or decimal table id names, or null.
  const TypeLayout* find(const std::string& key) const;
  // The migration under way (converting, or reporting its moves), or null.
  const PoolMigration* under_way() const;
  // The migration under way while it still converts objects, or null.
  const PoolMigration* migrating() const;

  // The records for a report: what the config says, each layout record
  // against the catalogue's type of its id, the migrations, and the id pages
  // (their offsets with `list`).
  Json report(bool list, const std::vector<TypeLayout>& catalogue) const;

 private:
  void take_config(const zim_shm_pool_piece_t& piece, PieceRead read);
  void take_layout(const zim_shm_pool_piece_t& piece, PieceRead read);
  void take_migration(const zim_shm_pool_piece_t& piece, PieceRead read);
  void take_moves(const zim_shm_pool_piece_t& piece, PieceRead read, PoolMigration& m);
  void problem(uint64_t offset, const std::string& text);
  // A retired record states nothing the pool relies on: one that does not
  // read as its format says is counted, not a problem.
  bool reading_retired_ = false;
};

// The migrations for a report: state, progress, types and what finishes one
// under way (pool_history.cpp).
Json migrations_report(const PoolRecords& records);
// The completed migrations and superseded layouts, rebuilt from the records
// the pool keeps, for `history`.
Json history_report(const std::string& pool, const PoolRecords& records);

}  // namespace zim_inspect
