// SPDX-License-Identifier: Apache-2.0
// Walks a pool of the simulated platform read-only and checks every object
// in it as decode does.
#pragma once

#include <zim/sim/shm_pool.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// The layouts indexed by table id, and the sizing of each table id's objects.
struct PoolContext {
  const std::vector<TypeLayout>* types = nullptr;
  std::function<Sizing(uint32_t table_id)> sizing;
  // How the pool is walked; tests hand in pools of their own making.
  int (*walk)(const char* name, int (*visit)(const zim_shm_pool_piece_t*, void*),
              void* context) = zim_shm_pool_walk;
};

// The pool's report; nothing, with the reason in `error`, when it cannot be
// walked. Memory grows with the problems found (and, with `list`, with the
// number of objects), not with the objects' sizes.
std::optional<Json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error, bool list = false);

// Which object of a pool decode reads: the one whose block starts at an
// offset, or the one whose base header holds a uid.
struct PoolObjectKey {
  std::optional<uint64_t> offset;
  std::optional<uint32_t> uid;
};

struct PoolObject {
  uint64_t offset = 0;
  uint32_t table_id = 0;  // of its block
  std::vector<unsigned char> bytes;
};

// A copy of the object that `key` names, of at most `max_bytes`; nothing, with
// the reason in `error`, when the pool cannot be walked or names no such
// object (an untyped or damaged block, a uid held by several objects).
std::optional<PoolObject> find_pool_object(const std::string& name, const PoolContext& context,
                                           const PoolObjectKey& key, size_t max_bytes,
                                           std::string& error);

}  // namespace zim_inspect
