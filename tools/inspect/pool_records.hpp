// SPDX-License-Identifier: Apache-2.0
// What a pool records of its own objects: N and each table id's NPD size
// (its config record) and the layout of each table id it holds (a layout
// record per id), read from the pool's bytes, which anyone may have written.
#pragma once

#include <zim/sim/shm_pool.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// How a visit reads the piece it visits (zim_shm_pool_piece_read).
using PieceRead = int (*)(const zim_shm_pool_piece_t* piece, uint64_t from, uint64_t size,
                          void* to);

// The record formats, as the pool writes them.
inline constexpr uint64_t kConfigHeaderSize = sizeof(zim_shm_pool_config_t);
inline constexpr uint64_t kConfigEntrySize = sizeof(zim_shm_pool_config_entry_t);
inline constexpr uint64_t kLayoutHeaderSize = sizeof(zim_shm_pool_layout_record_t);
// A layout record of a real type takes a few KiB; anything past this is damage.
inline constexpr uint64_t kMaxLayoutText = uint64_t{1} << 20;
inline constexpr uint64_t kMaxIdPages = 256;

struct PoolConfig {
  uint64_t offset = 0;  // of its block
  uint32_t npus = 0, default_npd_size = 0;
  std::map<uint32_t, uint32_t> npd_sizes;  // the ids with a size of their own

  uint32_t npd_size(uint32_t table_id) const;
};

struct RecordedLayout {
  uint64_t offset = 0;  // of its block
  uint64_t fingerprint = 0;
  TypeLayout layout;
};

struct PoolRecords {
  std::optional<PoolConfig> config;
  std::map<uint32_t, RecordedLayout> layouts;  // by table id
  uint64_t id_page_count = 0;
  std::vector<uint64_t> id_pages;  // offsets of their blocks, up to kMaxIdPages
  Json problems = Json::array();   // {offset, problem}: records not trusted

  // Takes the piece if it is a record (config, layout or id page); whether it
  // was one. A record that cannot be read as its format says is a problem,
  // never a source of facts; so is a second record of what one states.
  bool take(const zim_shm_pool_piece_t& piece, PieceRead read);

  // The pool's layout of a table id, null without a (trusted) record.
  const TypeLayout* layout(uint32_t table_id) const;
  // The recorded type that a name or decimal table id names, or null.
  const TypeLayout* find(const std::string& key) const;

  // The records for a report: what the config says, each layout record, and
  // the id pages (their offsets with `list`).
  Json report(bool list) const;

 private:
  void take_config(const zim_shm_pool_piece_t& piece, PieceRead read);
  void take_layout(const zim_shm_pool_piece_t& piece, PieceRead read);
  void problem(uint64_t offset, const std::string& text);
};

}  // namespace zim_inspect
