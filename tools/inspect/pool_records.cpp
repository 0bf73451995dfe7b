// SPDX-License-Identifier: Apache-2.0
#include "pool_records.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "gen/layout/fingerprint.hpp"
#include "gen/manifest/record_difference.hpp"
#include "render.hpp"
#include "type_names.hpp"

namespace zim_inspect {
namespace {

void read_bytes(const zim_shm_pool_piece_t& piece, PieceRead read, uint64_t from, uint64_t n,
                void* to) {
  if (read(&piece, from, n, to) != 0) {
    throw ReadError(errno == ENODATA
                        ? "the pool's segment shrank during the walk"
                        : std::string("cannot read a record: ") + std::strerror(errno));
  }
}

}  // namespace

uint32_t PoolConfig::npd_size(uint32_t table_id) const {
  const auto own = npd_sizes.find(table_id);
  return own == npd_sizes.end() ? default_npd_size : own->second;
}

void PoolRecords::problem(uint64_t offset, const std::string& text) {
  problems.push_back({{"offset", offset}, {"problem", text}});
}

bool PoolRecords::take(const zim_shm_pool_piece_t& piece, PieceRead read) {
  switch (piece.table_id) {
    case ZIM_SHM_POOL_CONFIG:
      take_config(piece, read);
      return true;
    case ZIM_SHM_POOL_LAYOUT:
      take_layout(piece, read);
      return true;
    case ZIM_SHM_POOL_ID_PAGE:
      // 256 pages of 256 ids cover every table id.
      if (++id_page_count > kMaxIdPages) {
        problem(piece.offset, "id page " + std::to_string(id_page_count) + ", more than 256");
      } else {
        id_pages.push_back(piece.offset);
      }
      return true;
    default:
      return false;
  }
}

void PoolRecords::take_config(const zim_shm_pool_piece_t& piece, PieceRead read) {
  const std::string what = "the config record";
  if (config) return problem(piece.offset, "a second config record; the first one holds");
  if (piece.size < kConfigHeaderSize) {
    return problem(piece.offset, what + " has " + std::to_string(piece.size) + " bytes, too few");
  }
  zim_shm_pool_config_t head;
  read_bytes(piece, read, 0, kConfigHeaderSize, &head);
  PoolConfig c{piece.offset, head.max_num_npus, head.default_npd_size, {}};
  const uint64_t count = head.entry_count;
  if (count > (piece.size - kConfigHeaderSize) / kConfigEntrySize) {
    return problem(piece.offset, what + " has " + std::to_string(count) +
                                     " NPD sizes, more than its " + std::to_string(piece.size) +
                                     " bytes hold");
  }
  zim_shm_pool_config_entry_t chunk[512];
  for (uint64_t i = 0; i < count;) {
    const uint64_t n = std::min<uint64_t>(count - i, std::size(chunk));
    read_bytes(piece, read, kConfigHeaderSize + i * kConfigEntrySize, n * kConfigEntrySize, chunk);
    for (uint64_t k = 0; k < n; ++k, ++i) {
      const uint32_t id = chunk[k].table_id;
      const bool ascending = c.npd_sizes.empty() || id > c.npd_sizes.rbegin()->first;
      if (id > ZIM_SHM_POOL_MAX_TABLE_ID || !ascending) {
        return problem(piece.offset, what + "'s NPD size " + std::to_string(i) +
                                         " is for table id " + std::to_string(id) +
                                         ", not above the one before and at most 65535");
      }
      c.npd_sizes.emplace_hint(c.npd_sizes.end(), id, chunk[k].size);
    }
  }
  config = std::move(c);
}

void PoolRecords::take_layout(const zim_shm_pool_piece_t& piece, PieceRead read) {
  if (piece.size < kLayoutHeaderSize) {
    return problem(piece.offset, "a layout record of " + std::to_string(piece.size) +
                                     " bytes, fewer than its header");
  }
  zim_shm_pool_layout_record_t head;
  read_bytes(piece, read, 0, kLayoutHeaderSize, &head);
  const uint32_t id = head.table_id, text_size = head.text_size;
  const uint64_t fingerprint = head.fingerprint;
  const std::string what = "the layout record of table id " + std::to_string(id);
  if (text_size > kMaxLayoutText || text_size > piece.size - kLayoutHeaderSize) {
    return problem(piece.offset, what + " says it holds " + std::to_string(text_size) +
                                     " bytes of text; its block holds " +
                                     std::to_string(piece.size - kLayoutHeaderSize));
  }
  std::string text(text_size, '\0');
  read_bytes(piece, read, kLayoutHeaderSize, text_size, text.data());
  std::optional<TypeLayout> layout = tablegen::read_layout_record(text);
  if (!layout) return problem(piece.offset, what + " does not read as a layout record");
  const uint64_t own = tablegen::layout_fingerprint(*layout);
  if (layout->table_id != id || own != fingerprint) {
    return problem(piece.offset, what + " (fingerprint " + tablegen::fingerprint_hex(fingerprint) +
                                     ") states type " + printable(layout->name) + " of table id " +
                                     std::to_string(layout->table_id) + " and fingerprint " +
                                     tablegen::fingerprint_hex(own));
  }
  if (const auto outside = bounds_problem(*layout)) {
    return problem(piece.offset, what + ": type " + printable(layout->name) + ": " + *outside);
  }
  const auto [at, fresh] = layouts.try_emplace(id, RecordedLayout{piece.offset, fingerprint, {}});
  if (fresh) {
    at->second.layout = std::move(*layout);
  } else if (at->second.fingerprint != fingerprint) {
    problem(piece.offset, "a second layout record of table id " + std::to_string(id) +
                              ", of another layout (fingerprint " +
                              tablegen::fingerprint_hex(fingerprint) + "); the one at offset " +
                              std::to_string(at->second.offset) + " holds");
  }
}

const TypeLayout* PoolRecords::layout(uint32_t table_id) const {
  const auto at = layouts.find(table_id);
  return at == layouts.end() ? nullptr : &at->second.layout;
}

const TypeLayout* PoolRecords::find(const std::string& key) const {
  for (const auto& [id, r] : layouts) {
    if (r.layout.name == key || std::to_string(id) == key) return &r.layout;
  }
  return nullptr;
}

Json PoolRecords::report(bool list) const {
  Json config_json = nullptr;
  if (config) {
    Json sizes = Json::array();
    for (const auto& [id, size] : config->npd_sizes)
      sizes.push_back({{"table_id", id}, {"size", size}});
    config_json = {{"offset", config->offset},
                   {"npus", config->npus},
                   {"default_npd_size", config->default_npd_size},
                   {"npd_sizes", std::move(sizes)}};
  }
  Json layouts_json = Json::array();
  for (const auto& [id, r] : layouts) {
    layouts_json.push_back({{"offset", r.offset},
                            {"table_id", id},
                            {"type", r.layout.name},
                            {"fingerprint", tablegen::fingerprint_hex(r.fingerprint)}});
  }
  Json doc{{"config", std::move(config_json)},
           {"layout_records", std::move(layouts_json)},
           {"id_pages", id_page_count}};
  if (list) doc["id_page_offsets"] = id_pages;
  return doc;
}

}  // namespace zim_inspect
