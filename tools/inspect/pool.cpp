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

#include "render.hpp"

namespace zim_inspect {
namespace {

constexpr const char* kShrank = "the pool's segment shrank during the walk";

// A block's bytes where they lie in the pool, read during its visit.
class PieceSource final : public WindowedSource {
 public:
  explicit PieceSource(const zim_shm_pool_piece_t& piece)
      : WindowedSource(piece.size), piece_(piece) {}

 private:
  void load(uint64_t offset, void* to, uint64_t n) const override {
    if (zim_shm_pool_piece_read(&piece_, offset, n, to) != 0) {
      throw ReadError(
          errno == ENODATA ? kShrank : std::string("cannot read a block: ") + std::strerror(errno));
    }
  }
  const zim_shm_pool_piece_t& piece_;
};

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
    }
  }
  if (rc == -1) {
    error = why_unwalkable(name, walk_errno, *facts);
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
    const auto& types = *context->types;
    const bool known = piece.table_id < types.size();
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
    table.bytes += piece.size;
    bytes += piece.size;
    const PieceSource data(piece);
    // A block that nobody wrote: an allocation whose process died before it
    // laid out an object. The root names an object, so it is checked as one.
    if (!piece.is_root && all_zero(data)) {
      ++table.empty;
      return;
    }
    ++table.objects;
    ++objects;
    const Json type = known ? Json(types[piece.table_id].name) : Json("?");
    if (list) {
      const auto uid = uid_of(data);
      blocks.push_back({{"offset", piece.offset},
                        {"size", piece.size},
                        {"table_id", piece.table_id},
                        {"type", type},
                        {"uid", uid ? Json(*uid) : Json(nullptr)}});
    }
    std::vector<std::string> problems{"no type has this table id"};
    if (known) problems = check(types[piece.table_id], data, context->sizing(piece.table_id));
    for (const auto& p : problems) {
      table.problems.push_back({{"offset", piece.offset}, {"problem", p}});
      consistent = false;
    }
    if (piece.is_root) {
      root = root_entry(piece.offset, piece.size, piece.table_id, type, problems.empty());
    }
  }

  static Json root_entry(uint64_t offset, Json size, Json table_id, Json type, bool consistent) {
    return {{"offset", offset},
            {"size", std::move(size)},
            {"table_id", std::move(table_id)},
            {"type", std::move(type)},
            {"consistent", consistent}};
  }
};

}  // namespace

std::optional<Json> inspect_pool(const std::string& name, const PoolContext& context,
                                 std::string& error, bool list) {
  Walk walk;
  walk.context = &context;
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

namespace {

// The offset of the one object whose base header holds `uid`, reading only
// block and base headers.
std::optional<uint64_t> find_uid(const std::string& name, const PoolContext& context, uint32_t uid,
                                 std::string& error) {
  uint64_t holders = 0;
  uint64_t first[2] = {};
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    if (piece.table_id == ZIM_SHM_POOL_DAMAGED || piece.table_id == ZIM_SHM_POOL_UNTYPED ||
        piece.size < ZIM_OBJ_UID_OFFSET + 4) {
      return true;
    }
    unsigned char base[ZIM_OBJ_BASE_HEADER_SIZE];
    const uint64_t n = std::min<uint64_t>(piece.size, sizeof base);
    if (zim_shm_pool_piece_read(&piece, 0, n, base) != 0) {
      throw ReadError(errno == ENODATA ? kShrank : std::strerror(errno));
    }
    uint32_t held;
    std::memcpy(&held, base + ZIM_OBJ_UID_OFFSET, sizeof held);
    // A base header that nobody wrote holds no uid.
    if (held != uid || std::all_of(base, base + n, [](unsigned char b) { return b == 0; })) {
      return true;
    }
    if (holders < 2) first[holders] = piece.offset;
    ++holders;
    return true;
  };
  if (!walk_pool(name, context, visit, error)) return std::nullopt;
  if (holders == 1) return first[0];
  error = holders == 0 ? "no object holds uid " + std::to_string(uid) +
                             " (pool --list shows the objects' uids)"
                       : "uid " + std::to_string(uid) + " is held by " + std::to_string(holders) +
                             " objects, the first at offsets " + std::to_string(first[0]) +
                             " and " + std::to_string(first[1]) + ": give --offset";
  return std::nullopt;
}

}  // namespace

bool with_pool_object(const std::string& name, const PoolContext& context, const PoolObjectKey& key,
                      const std::function<void(const PoolObject&)>& use, std::string& error) {
  const std::optional<uint64_t> offset =
      key.offset ? key.offset : find_uid(name, context, key.uid.value_or(0), error);
  if (!offset) return false;
  bool found = false;
  std::string refusal;
  // Blocks come in address order: the walk stops at the object or past it.
  const auto visit = [&](const zim_shm_pool_piece_t& piece) {
    if (piece.offset < *offset) return true;
    if (piece.offset > *offset || piece.table_id == ZIM_SHM_POOL_DAMAGED) return false;
    if (piece.table_id == ZIM_SHM_POOL_UNTYPED) {
      refusal = "the block at offset " + std::to_string(piece.offset) + " is an untyped block of " +
                std::to_string(piece.size) + " bytes, no table object";
      return false;
    }
    const PieceSource bytes(piece);
    use({piece.offset, piece.table_id, &bytes});
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
