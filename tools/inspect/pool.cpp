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
  uint64_t cut_short = 0;  // bytes of a conversion cut short
  Json problems = Json::array();
};

// An inconsistent block that a conversion of the migration under way may
// have been writing when its process stopped: the last block of its id, new
// to the migration, and made by no conversion it recorded.
struct HeldBack {
  uint64_t offset = 0, size = 0;
  std::vector<std::string> problems;
  size_t listed = 0;  // its entry in `blocks`, with --list
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
  std::map<uint32_t, HeldBack> held_back;  // by table id

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
    if (list) blocks.push_back(block_entry(piece, type, data));
    std::vector<std::string> problems{"neither the pool nor the catalogue has this table id"};
    if (t) problems = check(*t, data, pool->sizing(piece.table_id));
    // A later block of the id: the one held back was no conversion in progress.
    if (const auto held = held_back.find(piece.table_id); held != held_back.end()) {
      take_object(piece.table_id, held->second.offset, held->second.problems);
      held_back.erase(held);
    }
    if (!piece.is_root && !problems.empty() && in_conversion(piece)) {
      held_back[piece.table_id] = {piece.offset, piece.size, std::move(problems), blocks.size()};
      return;
    }
    take_object(piece.table_id, piece.offset, problems);
    if (piece.is_root) {
      root = root_entry(piece.offset, piece.size, piece.table_id, type, problems.empty());
    }
  }

  void take_object(uint32_t table_id, uint64_t offset, const std::vector<std::string>& problems) {
    TableSummary& table = tables[table_id];
    ++table.objects;
    ++objects;
    for (const auto& p : problems) {
      table.problems.push_back({{"offset", offset}, {"problem", p}});
      consistent = false;
    }
  }

  // Whether a block may be the one a conversion of the migration under way
  // writes into: of a type it converts, made since it began, and not by a
  // conversion it completed.
  bool in_conversion(const zim_shm_pool_piece_t& piece) const {
    const PoolMigration* m = pool->records.migrating();
    const auto* type = m ? m->type(piece.table_id) : nullptr;
    return type != nullptr && !m->made_before(*type, piece.offset) && !m->made(piece.offset);
  }

  // After the walk: one block held back is the conversion the migration was
  // making when its process stopped, which its next step takes back; with
  // several, none can be told from damage.
  Json cut_short_conversion() {
    Json found = nullptr;
    if (held_back.size() == 1) {
      const auto& [table_id, held] = *held_back.begin();
      found = {{"offset", held.offset}, {"size", held.size}, {"table_id", table_id}};
      if (list) blocks[held.listed - 1]["cut_short"] = true;
      tables[table_id].bytes -= held.size;
      tables[table_id].cut_short = held.size;
      bytes -= held.size;
    } else {
      for (const auto& [table_id, held] : held_back)
        take_object(table_id, held.offset, held.problems);
    }
    held_back.clear();
    return found;
  }

  static Json block_entry(const zim_shm_pool_piece_t& piece, const Json& type,
                          const ByteSource& data) {
    const auto uid = uid_of(data);
    return {{"offset", piece.offset},
            {"size", piece.size},
            {"table_id", piece.table_id},
            {"type", type},
            {"uid", uid ? Json(*uid) : Json(nullptr)},
            {"retired", piece.retired != 0},
            {"cut_short", false}};
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
                     {"cut_short_bytes", t.cut_short},
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
  const Json cut_short = walk.cut_short_conversion();
  // A root slot that names no block: a server published an offset that
  // holds nothing it could have meant.
  if (facts.root != 0 && walk.root.is_null()) {
    walk.root = Walk::root_entry(facts.root, nullptr, nullptr, nullptr, false);
    walk.consistent = false;
  }
  Json records = pool.records.report(list, *context.types);
  for (Json& m : records["migrations"]) {
    if (m["state"] == "migrating") m["cut_short"] = cut_short;
  }
  Json report{{"pool", name},
              {"objects", walk.objects},
              {"bytes", walk.bytes},
              {"retired_blocks", walk.retired},
              {"retired_bytes", walk.retired_bytes},
              {"consistent", walk.consistent && pool.records.problems.empty()},
              {"root", std::move(walk.root)},
              {"records", std::move(records)},
              {"problems", pool.records.problems},
              {"tables", walk.tables_report()},
              {"untyped", std::move(walk.untyped)},
              {"damaged", std::move(walk.damaged)}};
  if (list) report["blocks"] = std::move(walk.blocks);
  // Only the pool itself can say, not a walk a test hands in.
  if (context.walk == zim_shm_pool_walk_headers) {
    if (std::optional<Json> versions = versions_report(name)) report["versions"] = *versions;
  }
  return report;
}

std::optional<Json> pool_history(const std::string& name, const PoolContext& context,
                                 std::string& error) {
  PoolTypes pool{&context, {}};
  if (!read_records(name, pool, error)) return std::nullopt;
  return history_report(name, pool.records);
}

}  // namespace zim_inspect
