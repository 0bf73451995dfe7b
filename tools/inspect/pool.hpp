// SPDX-License-Identifier: Apache-2.0
// Walks a pool of the simulated platform read-only and checks every object
// in it as decode does, reading each block's bytes where they lie.
#pragma once

#include <zim/sim/shm_pool.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "decode.hpp"
#include "pool_records.hpp"

namespace zim_inspect {

// The catalogue, for table ids the pool records no layout of, and how each
// object is sized.
struct PoolContext {
  const std::vector<TypeLayout>* types = nullptr;  // ascending by table id
  // N and the NPD size of a table id's objects in a pool without a config
  // record.
  std::function<Sizing(uint32_t table_id)> sizing;
  // N and the NPD size the command line gives: an error where they disagree
  // with the pool's config record.
  std::optional<uint32_t> npus, npd;
  // How the pool is walked and its pieces read; tests hand in walks of their own.
  int (*walk)(const char* name, int (*visit)(const zim_shm_pool_piece_t*, void*), void* context,
              zim_shm_pool_walk_facts_t* facts) = zim_shm_pool_walk_headers;
  PieceRead read = zim_shm_pool_piece_read;
};

// The pool's report; nothing, with the reason in `error`, when it cannot be
// walked or the command line disagrees with its config record. Each object
// is checked against its table id's layout record in the pool (the old one
// for an object that the migration under way has yet to convert), else
// against the catalogue's type of that id; retired blocks are counted, not
// checked; the block a conversion of the migration under way was writing
// when its process stopped is the migration's, not an object. Each table
// id's layout record is compared with the catalogue's type of that id. A
// root slot that names a table block has it checked as an
// object; one that names no block is a problem. Memory grows with the
// problems found and the moves of a migration under way (and, with `list`,
// with the number of objects), not with the blocks' sizes.
std::optional<Json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error, bool list = false);

// A versioned pool's sequence, feed, index and the objects that need an eye
// (pool_versions.cpp); nothing for another pool or one that cannot be read.
std::optional<Json> versions_report(const std::string& name);

// The pool's completed migrations and superseded layouts, rebuilt from the
// records it keeps (retired ones included); nothing, with the reason in
// `error`, when it cannot be walked.
std::optional<Json> pool_history(const std::string& name, const PoolContext& context,
                                 std::string& error);

// Which object of a pool decode reads: the one whose block starts at an
// offset, or the one whose base header holds a uid.
struct PoolObjectKey {
  std::optional<uint64_t> offset;
  std::optional<uint32_t> uid;
};

// An object in the pool, during the walk that found it.
struct PoolObject {
  uint64_t offset = 0;
  uint32_t table_id = 0;  // of its block
  bool retired = false;   // a block whose object a migration replaced or that was retired
  const ByteSource* bytes = nullptr;
  // Its table id's, from the pool (the layout it was made with, while or after
  // a migration converts it) or the catalogue.
  const TypeLayout* type = nullptr;
  bool layout_unrecorded = false;  // a retired block whose layout the pool no longer records
  const PoolRecords* records = nullptr;
  // As the pool's config record says, checked against the command line.
  std::function<Sizing(uint32_t table_id)> sizing;
};

// Hands the object that `key` names to `use`, read where it lies, and stops
// the walk there; false, with the reason in `error`, when the pool cannot be
// walked or names no such object (an untyped or damaged block, a uid held by
// several objects). Only the block and base headers of other blocks are read.
bool with_pool_object(const std::string& name, const PoolContext& context, const PoolObjectKey& key,
                      const std::function<void(const PoolObject&)>& use, std::string& error);

}  // namespace zim_inspect
