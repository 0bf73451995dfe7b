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
#include <stdexcept>

#include "render.hpp"
#include "type_names.hpp"

namespace zim_inspect {
namespace {

constexpr const char* kShrank = "the pool's segment shrank during the walk";

// A block's bytes where they lie in the pool, read during its visit.
class PieceSource final : public WindowedSource {
 public:
  PieceSource(const zim_shm_pool_piece_t& piece, PieceRead reader)
      : WindowedSource(piece.size), piece_(piece), read_(reader) {}

 private:
  void load(uint64_t offset, void* to, uint64_t n) const override {
    if (read_(&piece_, offset, n, to) != 0) {
      throw ReadError(
          errno == ENODATA ? kShrank : std::string("cannot read a block: ") + std::strerror(errno));
    }
  }
  const zim_shm_pool_piece_t& piece_;
  PieceRead read_;
};

// The command line disagrees with what the pool records.
struct Disagreement : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool is_record(uint32_t tag) {
  return tag == ZIM_SHM_POOL_CONFIG || tag == ZIM_SHM_POOL_LAYOUT || tag == ZIM_SHM_POOL_ID_PAGE ||
         tag == ZIM_SHM_POOL_MIGRATION;
}

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

// Walks the pool, calling visit for every piece until it returns false;
// false with the reason in `error` when the walk fails or a block's bytes are
// gone. What else visit throws is thrown again past the C walk.
using Visit = std::function<bool(const zim_shm_pool_piece_t&)>;

bool walk_pool(const std::string& name, const PoolContext& context, const Visit& visit,
               std::string& error, zim_shm_pool_walk_facts_t* facts = nullptr) {
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

// The pool's records with the catalogue behind them: each table id's layout
// and sizing.
struct PoolTypes {
  const PoolContext* context = nullptr;
  PoolRecords records;

  const TypeLayout* type(uint32_t table_id) const {
    if (const TypeLayout* t = records.layout(table_id)) return t;
    return type_with_id(*context->types, table_id);
  }
  // The layout of the object in a block, which a migration may not have
  // converted yet.
  const TypeLayout* type(const zim_shm_pool_piece_t& block) const {
    if (const TypeLayout* t = records.layout(block.table_id, block.offset, block.retired != 0)) {
      return t;
    }
    return type_with_id(*context->types, block.table_id);
  }
  // Where a table id's layout comes from, for the report.
  Json source(uint32_t table_id) const {
    if (records.layout(table_id) != nullptr) return "pool";
    return type_with_id(*context->types, table_id) ? Json("catalogue") : Json(nullptr);
  }
  Sizing sizing(uint32_t table_id) const {
    if (!records.config) return context->sizing(table_id);
    const uint32_t npd = records.config->npd_size(table_id);
    if (context->npd && *context->npd != npd) {
      throw Disagreement("--npd " + std::to_string(*context->npd) +
                         " disagrees with the pool, made for NPD size " + std::to_string(npd) +
                         " for table id " + std::to_string(table_id));
    }
    return {records.config->npus, npd, 0};
  }
};

// The blocks whose base header holds a uid, reading only block and base headers.
// A migrated object's retired block holds its uid too: it is found only when
// no live block holds it.
struct UidSearch {
  uint32_t uid = 0;
  uint64_t holders = 0;
  uint64_t first[2] = {};
  std::optional<uint64_t> retired;

  void visit(const zim_shm_pool_piece_t& piece, PieceRead read) {
    if (piece.table_id == ZIM_SHM_POOL_DAMAGED || piece.table_id == ZIM_SHM_POOL_UNTYPED ||
        piece.size < ZIM_OBJ_UID_OFFSET + 4) {
      return;
    }
    unsigned char base[ZIM_OBJ_BASE_HEADER_SIZE];
    const uint64_t n = std::min<uint64_t>(piece.size, sizeof base);
    if (read(&piece, 0, n, base) != 0) {
      throw ReadError(errno == ENODATA ? kShrank : std::strerror(errno));
    }
    uint32_t held;
    std::memcpy(&held, base + ZIM_OBJ_UID_OFFSET, sizeof held);
    // A base header that nobody wrote holds no uid.
    if (held != uid || std::all_of(base, base + n, [](unsigned char b) { return b == 0; })) return;
    if (piece.retired) {
      if (!retired) retired = piece.offset;
      return;
    }
    if (holders < 2) first[holders] = piece.offset;
    ++holders;
  }

  // The one holder's offset.
  std::optional<uint64_t> offset(std::string& error) const {
    if (holders == 1) return first[0];
    if (holders == 0 && retired) return retired;
    const std::string u = std::to_string(uid);
    error = holders == 0 ? "no object holds uid " + u + " (pool --list shows the objects' uids)"
                         : "uid " + u + " is held by " + std::to_string(holders) +
                               " objects, the first at offsets " + std::to_string(first[0]) +
                               " and " + std::to_string(first[1]) + ": give --offset";
    return std::nullopt;
  }
};

// The first walk: the pool's records (which may lie past the objects they
// describe) and, with a uid to find, its holders.
bool read_records(const std::string& name, PoolTypes& pool, std::string& error,
                  UidSearch* uid = nullptr) {
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    if (!pool.records.take(piece, pool.context->read) && uid) uid->visit(piece, pool.context->read);
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

bool with_pool_object(const std::string& name, const PoolContext& context, const PoolObjectKey& key,
                      const std::function<void(const PoolObject&)>& use, std::string& error) {
  PoolTypes pool{&context, {}};
  UidSearch search;
  search.uid = key.uid.value_or(0);
  if (!read_records(name, pool, error, key.offset ? nullptr : &search)) return false;
  const std::optional<uint64_t> offset = key.offset ? key.offset : search.offset(error);
  if (!offset) return false;
  bool found = false;
  std::string refusal;
  // Blocks come in address order: the walk stops at the object or past it.
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    if (piece.offset < *offset) return true;
    if (piece.offset > *offset || piece.table_id == ZIM_SHM_POOL_DAMAGED) return false;
    if (piece.table_id == ZIM_SHM_POOL_UNTYPED || is_record(piece.table_id)) {
      refusal = "the block at offset " + std::to_string(piece.offset) + " is " +
                (piece.table_id == ZIM_SHM_POOL_UNTYPED ? "an untyped block" : "a pool record") +
                " of " + std::to_string(piece.size) + " bytes, no table object";
      return false;
    }
    const PieceSource bytes(piece, context.read);
    use({piece.offset, piece.table_id, piece.retired != 0, &bytes, pool.type(piece), &pool.records,
         [&pool](uint32_t table_id) { return pool.sizing(table_id); }});
    found = true;
    return false;
  };
  if (!walk_pool(name, context, visit, error)) return false;
  if (!refusal.empty()) {
    error = refusal;
    return false;
  }
  if (!found) {
    error = "no block starts at offset " + std::to_string(*offset) +
            " (pool --list shows the objects' offsets)";
  }
  return found;
}

}  // namespace zim_inspect
