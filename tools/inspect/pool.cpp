// SPDX-License-Identifier: Apache-2.0
#include "pool.hpp"

#include <zim/sim/shm_pool.h>
#include <zim/tables/table_object.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <map>

namespace zim_inspect {
namespace {

bool all_zero(const unsigned char* data, uint64_t size) {
  return std::all_of(data, data + size, [](unsigned char b) { return b == 0; });
}

// The uid in the base header of a table block, if it holds one.
std::optional<uint32_t> uid_of(const zim_shm_pool_piece_t& piece) {
  if (piece.size < ZIM_OBJ_UID_OFFSET + 4) return std::nullopt;
  uint32_t uid;
  std::memcpy(&uid, static_cast<const unsigned char*>(piece.data) + ZIM_OBJ_UID_OFFSET, 4);
  return uid;
}

// Walks the pool, calling visit for every piece; false with the reason in
// `error` when the walk fails. What visit throws is thrown again past the C
// walk.
using Visit = std::function<void(const zim_shm_pool_piece_t&)>;

bool walk_pool(const std::string& name, const PoolContext& context, const Visit& visit,
               std::string& error) {
  struct State {
    const Visit* visit;
    std::exception_ptr failure;
  } state{&visit, nullptr};
  const int rc = context.walk(
      name.c_str(),
      [](const zim_shm_pool_piece_t* piece, void* s) {
        State& self = *static_cast<State*>(s);
        try {
          (*self.visit)(*piece);
          return 0;
        } catch (...) {
          self.failure = std::current_exception();
          return 1;
        }
      },
      &state);
  const int walk_errno = errno;
  if (state.failure) std::rethrow_exception(state.failure);
  if (rc != 0) {
    error = walk_errno == ENODATA ? "the pool's segment shrank during the walk"
                                  : std::strerror(walk_errno);
    return false;
  }
  return true;
}

struct TableSummary {
  uint64_t objects = 0, empty = 0, bytes = 0;
  Json problems = Json::array();
};

struct Walk {
  const PoolContext* context = nullptr;
  bool list = false;
  std::map<uint32_t, TableSummary> tables;
  Json damaged = Json::array();
  Json untyped = Json::array();
  Json blocks = Json::array();
  Json root = nullptr;
  uint64_t objects = 0, bytes = 0;
  bool consistent = true;

  void visit(const zim_shm_pool_piece_t& piece) {
    if (piece.table_id == ZIM_SHM_POOL_DAMAGED) {
      damaged.push_back({{"offset", piece.offset}, {"size", piece.size}});
      consistent = false;
      return;
    }
    const bool is_untyped = piece.table_id == ZIM_SHM_POOL_UNTYPED;
    // The record a server publishes through the root slot is no table object.
    if (piece.is_root) {
      root = Json{{"offset", piece.offset},
                  {"size", piece.size},
                  {"table_id", is_untyped ? Json(nullptr) : Json(piece.table_id)}};
      return;
    }
    // A server's own record: nothing to check it against.
    if (is_untyped) {
      untyped.push_back({{"offset", piece.offset}, {"size", piece.size}});
      return;
    }
    TableSummary& table = tables[piece.table_id];
    table.bytes += piece.size;
    bytes += piece.size;
    const auto* data = static_cast<const unsigned char*>(piece.data);
    // A block that nobody wrote: an allocation whose process died before it
    // laid out an object.
    if (all_zero(data, piece.size)) {
      ++table.empty;
      return;
    }
    ++table.objects;
    ++objects;
    const auto& types = *context->types;
    const bool known = piece.table_id < types.size();
    if (list) {
      const auto uid = uid_of(piece);
      blocks.push_back({{"offset", piece.offset},
                        {"size", piece.size},
                        {"table_id", piece.table_id},
                        {"type", known ? types[piece.table_id].name : std::string("?")},
                        {"uid", uid ? Json(*uid) : Json(nullptr)}});
    }
    if (!known) {
      table.problems.push_back(
          {{"offset", piece.offset}, {"problem", "no type has this table id"}});
      consistent = false;
      return;
    }
    // The data is valid during the visit only: checked where it lies.
    const auto problems =
        check(types[piece.table_id], ByteSpan{data, piece.size}, context->sizing(piece.table_id));
    for (const auto& p : problems) {
      table.problems.push_back({{"offset", piece.offset}, {"problem", p}});
      consistent = false;
    }
  }
};

}  // namespace

std::optional<Json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error, bool list) {
  Walk walk;
  walk.context = &context;
  walk.list = list;
  if (!walk_pool(
          name, context, [&](const zim_shm_pool_piece_t& piece) { walk.visit(piece); }, error)) {
    return std::nullopt;
  }
  Json tables = Json::array();
  for (auto& [table_id, t] : walk.tables) {
    const auto& types = *context.types;
    tables.push_back({{"table_id", table_id},
                      {"type", table_id < types.size() ? types[table_id].name : std::string("?")},
                      {"objects", t.objects},
                      {"empty_blocks", t.empty},
                      {"bytes", t.bytes},
                      {"problems", std::move(t.problems)}});
  }
  Json report{{"pool", name},
              {"objects", walk.objects},
              {"bytes", walk.bytes},
              {"consistent", walk.consistent},
              {"root", std::move(walk.root)},
              {"tables", std::move(tables)},
              {"untyped", std::move(walk.untyped)},
              {"damaged", std::move(walk.damaged)}};
  if (list) report["blocks"] = std::move(walk.blocks);
  return report;
}

std::optional<PoolObject> find_pool_object(const std::string& name, const PoolContext& context,
                                           const PoolObjectKey& key, size_t max_bytes,
                                           std::string& error) {
  std::optional<PoolObject> found;
  uint64_t holders = 0;  // of the uid
  uint64_t first_holders[2] = {};
  std::string refusal;
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    if (piece.table_id == ZIM_SHM_POOL_DAMAGED) return;
    const auto* data = static_cast<const unsigned char*>(piece.data);
    if (key.offset) {
      if (piece.offset != *key.offset) return;
      if (piece.table_id == ZIM_SHM_POOL_UNTYPED) {
        refusal = "the block at offset " + std::to_string(piece.offset) +
                  " is an untyped block of " + std::to_string(piece.size) +
                  " bytes, no table object";
        return;
      }
    } else {
      if (piece.table_id == ZIM_SHM_POOL_UNTYPED || all_zero(data, piece.size)) return;
      if (uid_of(piece) != key.uid) return;
      if (holders < 2) first_holders[holders] = piece.offset;
      if (++holders > 1) return;
    }
    if (piece.size > max_bytes) {
      refusal = "the object at offset " + std::to_string(piece.offset) + " holds " +
                std::to_string(piece.size) + " bytes, more than the " +
                std::to_string(max_bytes >> 20) + " MiB decode reads";
      return;
    }
    found = PoolObject{piece.offset, piece.table_id, {data, data + piece.size}};
  };
  if (!walk_pool(name, context, visit, error)) return std::nullopt;
  if (!refusal.empty()) {
    error = refusal;
    return std::nullopt;
  }
  if (holders > 1) {
    error = "uid " + std::to_string(*key.uid) + " is held by " + std::to_string(holders) +
            " objects, the first at offsets " + std::to_string(first_holders[0]) + " and " +
            std::to_string(first_holders[1]) + ": give --offset";
    return std::nullopt;
  }
  if (!found) {
    error = key.offset ? "no block starts at offset " + std::to_string(*key.offset) +
                             " (pool --list shows the objects' offsets)"
                       : "no object holds uid " + std::to_string(*key.uid) +
                             " (pool --list shows the objects' uids)";
    return std::nullopt;
  }
  return found;
}

}  // namespace zim_inspect
