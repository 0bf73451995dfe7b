// Walks a pool of the simulated platform read-only and checks every object
// in it as decode does.
#pragma once

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
};

// The pool's report; nothing, with the reason in `error`, when it cannot be
// walked.
std::optional<json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error);

}  // namespace zim_inspect
