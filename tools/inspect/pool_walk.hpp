// SPDX-License-Identifier: Apache-2.0
// The walks of a pool that the check and decode --pool share: a block's bytes
// read where they lie, and the pool's records with the catalogue behind them.
#pragma once

#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "pool.hpp"
#include "type_names.hpp"

namespace zim_inspect {

inline constexpr const char* kShrank = "the pool's segment shrank during the walk";

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

bool is_record(uint32_t tag);

// Walks the pool, calling visit for every piece until it returns false;
// false with the reason in `error` when the walk fails or a block's bytes are
// gone. What else visit throws is thrown again past the C walk.
using Visit = std::function<bool(const zim_shm_pool_piece_t&)>;

bool walk_pool(const std::string& name, const PoolContext& context, const Visit& visit,
               std::string& error, zim_shm_pool_walk_facts_t* facts = nullptr);

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
  // converted yet, or that a retired block was made with: null, with
  // `unrecorded` set, when the pool no longer records that one.
  const TypeLayout* type(const zim_shm_pool_piece_t& block, bool* unrecorded = nullptr) const {
    bool gone = false;
    const bool retired = block.retired != 0;
    if (const TypeLayout* t = records.layout(block.table_id, block.offset, retired, &gone)) {
      return t;
    }
    if (unrecorded != nullptr) *unrecorded = gone;
    return gone ? nullptr : type_with_id(*context->types, block.table_id);
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

// The first walk: the pool's records (which may lie past the objects they
// describe), handing every other piece to `others` if given.
bool read_records(const std::string& name, PoolTypes& pool, std::string& error,
                  const std::function<void(const zim_shm_pool_piece_t&)>& others = nullptr);

}  // namespace zim_inspect
