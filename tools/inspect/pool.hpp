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
// walked. Memory grows with the problems found, not with the objects' sizes.
std::optional<Json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error);

}  // namespace zim_inspect
