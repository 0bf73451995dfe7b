// SPDX-License-Identifier: Apache-2.0
#include "pool.hpp"

#include <zim/sim/shm_pool.h>
#include <zim/tables/table_object.h>

#include <algorithm>
#include <map>

#include "pool_walk.hpp"
#include "render.hpp"

namespace zim_inspect {
namespace {

bool all_zero(const ByteSource& bytes) {
  unsigned char chunk[4096];
  for (uint64_t at = 0; at < bytes.size(); at += sizeof chunk) {
    const uint64_t n = std::min<uint64_t>(sizeof chunk, bytes.size() - at);
    bytes.read(at, chunk, n);
    if (!std::all_of(chunk, chunk + n, [](unsigned char b) { return b == 0; })) return false;
  }
  return true;
}

// The uid in the base header of a table block, if it holds one.
std::optional<uint32_t> uid_of(const ByteSource& bytes) {
  if (bytes.size() < ZIM_OBJ_UID_OFFSET + 4) return std::nullopt;
  uint32_t uid;
  bytes.read(ZIM_OBJ_UID_OFFSET, &uid, 4);
  return uid;
}

struct TableSummary {
  uint64_t objects = 0, empty = 0, bytes = 0, retired = 0, retired_bytes = 0;
  Json problems = Json::array();
};

struct Walk {
  const PoolTypes* pool = nullptr;
  bool list = false;
  std::map<uint32_t, TableSummary> tables;
  Json damaged = Json::array();
  Json untyped = Json::array();
  Json blocks = Json::array();
  Json root = nullptr;
  uint64_t objects = 0, bytes = 0, retired = 0, retired_bytes = 0;
  bool consistent = true;

  void visit(const zim_shm_pool_piece_t& piece) {
    if (piece.table_id == ZIM_SHM_POOL_DAMAGED) {
      damaged.push_back({{"offset", piece.offset}, {"size", piece.size}});
      consistent = false;
      return;
    }
    if (is_record(piece.table_id)) return;  // read by the first walk
    if (piece.table_id == ZIM_SHM_POOL_UNTYPED) {
      // A server's own record: nothing to check it against.
      if (piece.is_root) {
        root = root_entry(piece.offset, piece.size, nullptr, nullptr, true);
      } else {
        untyped.push_back({{"offset", piece.offset}, {"size", piece.size}});
      }
      return;
    }
    TableSummary& table = tables[piece.table_id];
    const PieceSource data(piece, pool->context->read);
    const TypeLayout* t = pool->type(piece);
    const Json type = t ? Json(t->name) : Json("?");
    // What a migration replaced or a retirement ended: bytes, no object.
    if (piece.retired) {
      ++table.retired;
      table.retired_bytes += piece.size;
      ++retired;
      retired_bytes += piece.size;
      if (list) blocks.push_back(block_entry(piece, type, data));
      if (piece.is_root) {
        // Until the migration that converts it moves the root slot on.
        const bool moving = pool->records.migrating() != nullptr;
        root = root_entry(piece.offset, piece.size, piece.table_id, type, moving);
        root["retired"] = true;
        consistent = consistent && moving;
      }
      return;
    }
    table.bytes += piece.size;
    bytes += piece.size;
    // A block that nobody wrote: an allocation whose process died before it
    // laid out an object. The root names an object, so it is checked as one.
    if (!piece.is_root && all_zero(data)) {
      ++table.empty;
      return;
    }
    ++table.objects;
    ++objects;
    if (list) blocks.push_back(block_entry(piece, type, data));
    std::vector<std::string> problems{"neither the pool nor the catalogue has this table id"};
    if (t) problems = check(*t, data, pool->sizing(piece.table_id));
    for (const auto& p : problems) {
      table.problems.push_back({{"offset", piece.offset}, {"problem", p}});
      consistent = false;
    }
    if (piece.is_root) {
      root = root_entry(piece.offset, piece.size, piece.table_id, type, problems.empty());
    }
  }

  static Json block_entry(const zim_shm_pool_piece_t& piece, const Json& type,
                          const ByteSource& data) {
    const auto uid = uid_of(data);
    return {{"offset", piece.offset},
            {"size", piece.size},
            {"table_id", piece.table_id},
            {"type", type},
            {"uid", uid ? Json(*uid) : Json(nullptr)},
            {"retired", piece.retired != 0}};
  }

  static Json root_entry(uint64_t offset, Json size, Json table_id, Json type, bool consistent) {
    return {
        {"offset", offset},        {"size", std::move(size)},  {"table_id", std::move(table_id)},
        {"type", std::move(type)}, {"consistent", consistent}, {"retired", false}};
  }

  Json tables_report() {
    Json out = Json::array();
    for (auto& [table_id, t] : tables) {
      const TypeLayout* type = pool->type(table_id);
      out.push_back({{"table_id", table_id},
                     {"type", type ? type->name : std::string("?")},
                     {"layout", pool->source(table_id)},
                     {"objects", t.objects},
                     {"empty_blocks", t.empty},
                     {"bytes", t.bytes},
                     {"retired_blocks", t.retired},
                     {"retired_bytes", t.retired_bytes},
                     {"problems", std::move(t.problems)}});
    }
    return out;
  }
};

}  // namespace

std::optional<Json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error, bool list) {
  PoolTypes pool{&context, {}};
  if (!read_records(name, pool, error)) return std::nullopt;
  Walk walk;
  walk.pool = &pool;
  walk.list = list;
  zim_shm_pool_walk_facts_t facts{};
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    walk.visit(piece);
    return true;
  };
  if (!walk_pool(name, context, visit, error, &facts)) return std::nullopt;
  // A root slot that names no block: a server published an offset that
  // holds nothing it could have meant.
  if (facts.root != 0 && walk.root.is_null()) {
    walk.root = Walk::root_entry(facts.root, nullptr, nullptr, nullptr, false);
    walk.consistent = false;
  }
  Json report{{"pool", name},
              {"objects", walk.objects},
              {"bytes", walk.bytes},
              {"retired_blocks", walk.retired},
              {"retired_bytes", walk.retired_bytes},
              {"consistent", walk.consistent && pool.records.problems.empty()},
              {"root", std::move(walk.root)},
              {"records", pool.records.report(list, *context.types)},
              {"problems", pool.records.problems},
              {"tables", walk.tables_report()},
              {"untyped", std::move(walk.untyped)},
              {"damaged", std::move(walk.damaged)}};
  if (list) report["blocks"] = std::move(walk.blocks);
  return report;
}

}  // namespace zim_inspect
