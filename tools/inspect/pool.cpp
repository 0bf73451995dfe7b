#include "pool.hpp"

#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>

namespace zim_inspect {
namespace {

struct TableSummary {
  uint64_t objects = 0, empty = 0, bytes = 0;
  Json problems = Json::array();
};

struct Walk {
  const PoolContext* context = nullptr;
  std::map<uint32_t, TableSummary> tables;
  Json damaged = Json::array();
  Json root = nullptr;
  uint64_t objects = 0, bytes = 0;
  bool consistent = true;
  std::exception_ptr failure;  // thrown by a visit, carried past the C walk

  void visit(const zim_shm_pool_piece_t& piece) {
    if (piece.table_id == ZIM_SHM_POOL_DAMAGED) {
      damaged.push_back({{"offset", piece.offset}, {"size", piece.size}});
      consistent = false;
      return;
    }
    // The record a server publishes through the root slot is no table object.
    if (piece.is_root) {
      root = Json{{"offset", piece.offset}, {"size", piece.size}, {"table_id", piece.table_id}};
      return;
    }
    TableSummary& table = tables[piece.table_id];
    table.bytes += piece.size;
    bytes += piece.size;
    const auto* data = static_cast<const unsigned char*>(piece.data);
    // A block that nobody wrote: an allocation whose process died before it
    // laid out an object.
    if (std::all_of(data, data + piece.size, [](unsigned char b) { return b == 0; })) {
      ++table.empty;
      return;
    }
    ++table.objects;
    ++objects;
    const auto& types = *context->types;
    if (piece.table_id >= types.size()) {
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
                                 std::string& error) {
  Walk walk;
  walk.context = &context;
  const int rc = context.walk(
      name.c_str(),
      [](const zim_shm_pool_piece_t* piece, void* w) {
        Walk& self = *static_cast<Walk*>(w);
        try {
          self.visit(*piece);
          return 0;
        } catch (...) {
          self.failure = std::current_exception();
          return 1;
        }
      },
      &walk);
  const int walk_errno = errno;
  if (walk.failure) std::rethrow_exception(walk.failure);
  if (rc != 0) {
    error = walk_errno == ENODATA ? "the pool's segment shrank during the walk"
                                  : std::strerror(walk_errno);
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
  return Json{{"pool", name},
              {"objects", walk.objects},
              {"bytes", walk.bytes},
              {"consistent", walk.consistent},
              {"root", std::move(walk.root)},
              {"tables", std::move(tables)},
              {"damaged", std::move(walk.damaged)}};
}

}  // namespace zim_inspect
