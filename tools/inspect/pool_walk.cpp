// SPDX-License-Identifier: Apache-2.0
#include "pool_walk.hpp"

#include <exception>

#include "render.hpp"

namespace zim_inspect {
namespace {

// Why the pool `name` cannot be walked.
std::string why_unwalkable(const std::string& name, int err,
                           const zim_shm_pool_walk_facts_t& facts) {
  switch (facts.fault) {
    case ZIM_SHM_POOL_FAULT_NAME:
      return name.empty() || name[0] != '/'
                 ? "a pool's name starts with \"/\" (as in /" + printable(name) + ")"
                 : std::string(
                       "a pool's name is \"/\" then 1 to 254 characters other than \"/\", "
                       "and neither \"/.\" nor \"/..\"");
    case ZIM_SHM_POOL_FAULT_EMPTY:
      return "the segment is empty, no pool";
    case ZIM_SHM_POOL_FAULT_NOT_A_POOL:
      return "the segment is not a pool: it holds no pool header";
    case ZIM_SHM_POOL_FAULT_VERSION:
      return "the pool has layout version " + std::to_string(facts.layout_version) +
             ", which this build does not read";
    case ZIM_SHM_POOL_FAULT_CUT_SHORT:
      return "the segment is shorter than its pool header says: it was cut short";
    case ZIM_SHM_POOL_FAULT_EXTENDED:
      return "the segment is longer than its pool header says: it was extended";
    case ZIM_SHM_POOL_FAULT_CARVE:
      return "the pool header's carve point lies outside the segment or off a 16-byte line";
    case ZIM_SHM_POOL_FAULT_SHRANK:
      return kShrank;
    default:
      return err == ENOENT ? "no pool of that name" : std::strerror(err);
  }
}

}  // namespace

bool is_record(uint32_t tag) {
  return tag == ZIM_SHM_POOL_CONFIG || tag == ZIM_SHM_POOL_LAYOUT || tag == ZIM_SHM_POOL_ID_PAGE ||
         tag == ZIM_SHM_POOL_MIGRATION || tag == ZIM_SHM_POOL_VERSION_LINE ||
         tag == ZIM_SHM_POOL_FEED || tag == ZIM_SHM_POOL_INDEX;
}

bool walk_pool(const std::string& name, const PoolContext& context, const Visit& visit,
               std::string& error, zim_shm_pool_walk_facts_t* facts) {
  constexpr int kStopped = 1, kFailed = 2;
  struct State {
    const Visit* visit;
    std::exception_ptr failure;
  } state{&visit, nullptr};
  zim_shm_pool_walk_facts_t own{};
  if (facts == nullptr) facts = &own;
  const int rc = context.walk(
      name.c_str(),
      [](const zim_shm_pool_piece_t* piece, void* s) {
        State& self = *static_cast<State*>(s);
        try {
          return (*self.visit)(*piece) ? 0 : kStopped;
        } catch (...) {
          self.failure = std::current_exception();
          return kFailed;
        }
      },
      &state, facts);
  const int walk_errno = errno;
  if (state.failure) {
    try {
      std::rethrow_exception(state.failure);
    } catch (const ReadError& e) {
      error = e.what();
      return false;
    } catch (const Disagreement& e) {
      error = e.what();
      return false;
    }
  }
  if (rc == -1) {
    error = why_unwalkable(name, walk_errno, *facts);
    return false;
  }
  return true;
}

bool read_records(const std::string& name, PoolTypes& pool, std::string& error,
                  const std::function<void(const zim_shm_pool_piece_t&)>& others) {
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    if (!pool.records.take(piece, pool.context->read) && others) others(piece);
    return true;
  };
  if (!walk_pool(name, *pool.context, visit, error)) return false;
  pool.records.finish();
  const auto& config = pool.records.config;
  if (!config) {
    pool.records.problems.push_back(
        {{"offset", nullptr},
         {"problem", "the pool holds no config record: objects are sized as this process sees"}});
  } else if (pool.context->npus && *pool.context->npus != config->npus) {
    error = "--npus " + std::to_string(*pool.context->npus) +
            " disagrees with the pool, made for N " + std::to_string(config->npus);
    return false;
  }
  return true;
}

}  // namespace zim_inspect
