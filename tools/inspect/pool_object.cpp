// SPDX-License-Identifier: Apache-2.0
// decode --pool: the one object a key names, found by a walk that reads only
// block and base headers until it reaches it.
#include <zim/tables/table_object.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pool_walk.hpp"

namespace zim_inspect {
namespace {

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

}  // namespace

bool with_pool_object(const std::string& name, const PoolContext& context, const PoolObjectKey& key,
                      const std::function<void(const PoolObject&)>& use, std::string& error) {
  PoolTypes pool{&context, {}};
  UidSearch search;
  search.uid = key.uid.value_or(0);
  std::function<void(const zim_shm_pool_piece_t&)> holders;
  if (!key.offset) {
    holders = [&](const zim_shm_pool_piece_t& piece) { search.visit(piece, context.read); };
  }
  if (!read_records(name, pool, error, holders)) return false;
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
    bool unrecorded = false;
    const TypeLayout* type = pool.type(piece, &unrecorded);
    use({piece.offset, piece.table_id, piece.retired != 0, &bytes, type, unrecorded, &pool.records,
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
