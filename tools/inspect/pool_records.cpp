// SPDX-License-Identifier: Apache-2.0
#include "pool_records.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/pool_records.hpp"
#include "codec/record_difference.hpp"
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
  if (reading_retired_) return;
  problems.push_back({{"offset", offset}, {"problem", text}});
}

bool PoolRecords::take(const zim_shm_pool_piece_t& piece, PieceRead read) {
  const uint32_t tag = piece.table_id;
  const bool record = tag == ZIM_SHM_POOL_CONFIG || tag == ZIM_SHM_POOL_LAYOUT ||
                      tag == ZIM_SHM_POOL_ID_PAGE || tag == ZIM_SHM_POOL_MIGRATION;
  // A retired record no longer states what holds, but what held: history.
  if (record && piece.retired) {
    ++retired_records;
    reading_retired_ = true;
    if (tag == ZIM_SHM_POOL_LAYOUT) take_layout(piece, read);
    if (tag == ZIM_SHM_POOL_MIGRATION) take_migration(piece, read);
    reading_retired_ = false;
    return true;
  }
  switch (tag) {
    case ZIM_SHM_POOL_CONFIG:
      take_config(piece, read);
      return true;
    case ZIM_SHM_POOL_LAYOUT:
      take_layout(piece, read);
      return true;
    case ZIM_SHM_POOL_ID_PAGE:
      // The pages of 256 ids each cover every table id.
      if (++id_page_count > zim_codec::kMaxIdPages) {
        problem(piece.offset, "id page " + std::to_string(id_page_count) + ", more than " +
                                  std::to_string(zim_codec::kMaxIdPages));
      } else {
        id_pages.push_back(piece.offset);
      }
      return true;
    case ZIM_SHM_POOL_MIGRATION:
      take_migration(piece, read);
      return true;
    case ZIM_SHM_POOL_VERSION_LINE:  // a versioned pool's: zim_shm_pool_versions_read reads them
    case ZIM_SHM_POOL_FEED:          // a versioned pool's ring of changes, laid out at creation
    case ZIM_SHM_POOL_INDEX:         // and its index of keys
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
  std::string why;
  if (!zim_codec::config_entries_fit(head, piece.size, &why)) return problem(piece.offset, why);
  zim_shm_pool_config_entry_t chunk[512];
  for (uint64_t i = 0; i < count;) {
    const uint64_t n = std::min<uint64_t>(count - i, std::size(chunk));
    read_bytes(piece, read, kConfigHeaderSize + i * kConfigEntrySize, n * kConfigEntrySize, chunk);
    for (uint64_t k = 0; k < n; ++k, ++i) {
      const uint32_t id = chunk[k].table_id;
      const std::optional<uint32_t> previous =
          c.npd_sizes.empty() ? std::nullopt : std::optional<uint32_t>(c.npd_sizes.rbegin()->first);
      if (!zim_codec::config_entry_in_order(i, id, previous, &why)) {
        return problem(piece.offset, why);
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
  std::string why;
  if (!zim_codec::layout_text_fits(head, piece.size, &why)) return problem(piece.offset, why);
  std::string text(text_size, '\0');
  read_bytes(piece, read, kLayoutHeaderSize, text_size, text.data());
  std::optional<TypeLayout> layout = zim_codec::read_layout_record(text);
  if (!layout) return problem(piece.offset, what + " does not read as a layout record");
  const uint64_t own = zim_codec::layout_fingerprint(*layout);
  if (layout->table_id != id || own != fingerprint) {
    return problem(piece.offset, what + " (fingerprint " + zim_codec::fingerprint_hex(fingerprint) +
                                     ") states type " + printable(layout->name) + " of table id " +
                                     std::to_string(layout->table_id) + " and fingerprint " +
                                     zim_codec::fingerprint_hex(own));
  }
  if (const auto outside = bounds_problem(*layout)) {
    return problem(piece.offset, what + ": type " + printable(layout->name) + ": " + *outside);
  }
  layouts[id].push_back({piece.offset, fingerprint, std::move(*layout), reading_retired_});
}

void PoolRecords::take_migration(const zim_shm_pool_piece_t& piece, PieceRead read) {
  const std::string what = "the migration record";
  if (piece.size < kMigrationHeaderSize) {
    return problem(piece.offset,
                   what + " has " + std::to_string(piece.size) + " bytes, fewer than its header");
  }
  zim_shm_pool_migration_t head;
  read_bytes(piece, read, 0, kMigrationHeaderSize, &head);
  std::string why;
  if (!zim_codec::migration_head_fits(head, head.move_count, piece.size, &why)) {
    return problem(piece.offset, why);
  }
  PoolMigration m{
      piece.offset, head.state, reading_retired_, head.carve, head.move_capacity, head.move_count,
      {},           {}};
  m.types.resize(head.type_count);
  read_bytes(piece, read, kMigrationHeaderSize, head.type_count * kMigrationTypeSize,
             m.types.data());
  if (!zim_codec::migration_types_sound(m.types.data(), m.types.size(), &why)) {
    return problem(piece.offset, why);
  }
  if (m.under_way()) {
    if (const PoolMigration* first = under_way()) {
      return problem(piece.offset, "a second migration under way; the one at offset " +
                                       std::to_string(first->offset) + " holds");
    }
  }
  if (m.converting()) take_moves(piece, read, m);
  migrations.push_back(std::move(m));
}

void PoolRecords::take_moves(const zim_shm_pool_piece_t& piece, PieceRead read, PoolMigration& m) {
  // migration_head_fits() checked that the moves made lie inside the block.
  const uint64_t first = kMigrationHeaderSize + m.types.size() * kMigrationTypeSize;
  zim_shm_pool_move_t chunk[512];
  for (uint64_t i = 0; i < m.move_count;) {
    const uint64_t n = std::min<uint64_t>(m.move_count - i, std::size(chunk));
    read_bytes(piece, read, first + i * kMoveSize, n * kMoveSize, chunk);
    for (uint64_t k = 0; k < n; ++k, ++i) m.converted.push_back(chunk[k].new_offset);
  }
  std::sort(m.converted.begin(), m.converted.end());
}

void PoolRecords::finish() {
  const auto recorded = [this](uint32_t table_id, uint64_t fingerprint, uint64_t offset) {
    const auto at = layouts.find(table_id);
    return at != layouts.end() &&
           std::any_of(at->second.begin(), at->second.end(), [&](const RecordedLayout& r) {
             return r.fingerprint == fingerprint && (offset == 0 || r.offset == offset);
           });
  };
  std::vector<PoolMigration> trusted;
  for (PoolMigration& m : migrations) {
    const auto unrecorded = std::find_if(m.types.begin(), m.types.end(), [&](const auto& t) {
      return !recorded(t.table_id, t.old_fingerprint, 0) ||
             !recorded(t.table_id, t.new_fingerprint, t.new_layout);
    });
    // A completed migration is kept whatever its layouts: a retired block it
    // converted then says that its layout is no longer recorded.
    if (unrecorded == m.types.end() || m.retired) {
      trusted.push_back(std::move(m));
      continue;
    }
    problem(m.offset, "the migration record changes table id " +
                          std::to_string(unrecorded->table_id) + " from fingerprint " +
                          zim_codec::fingerprint_hex(unrecorded->old_fingerprint) + " to " +
                          zim_codec::fingerprint_hex(unrecorded->new_fingerprint) +
                          " (its record at offset " + std::to_string(unrecorded->new_layout) +
                          "), layouts that the pool does not both record");
  }
  migrations = std::move(trusted);
}

const zim_shm_pool_migration_type_t* PoolMigration::type(uint32_t table_id) const {
  for (const auto& t : types) {
    if (t.table_id == table_id) return &t;
  }
  return nullptr;
}

bool PoolMigration::made_before(const zim_shm_pool_migration_type_t& type, uint64_t block) const {
  const uint64_t header = block - ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  return block < carve && !(header >= type.cursor && header < type.limit);
}

bool PoolMigration::made(uint64_t block) const {
  return std::binary_search(converted.begin(), converted.end(), block);
}

const PoolMigration* PoolRecords::under_way() const {
  for (const PoolMigration& m : migrations) {
    if (m.under_way()) return &m;
  }
  return nullptr;
}

const PoolMigration* PoolRecords::migrating() const {
  const PoolMigration* m = under_way();
  return m != nullptr && m->converting() ? m : nullptr;
}

const TypeLayout* PoolRecords::layout(uint32_t table_id) const {
  const auto at = layouts.find(table_id);
  if (at == layouts.end()) return nullptr;
  for (auto r = at->second.rbegin(); r != at->second.rend(); ++r) {
    if (!r->retired) return &r->layout;
  }
  return nullptr;
}

const TypeLayout* PoolRecords::layout_by_fingerprint(uint32_t table_id,
                                                     uint64_t fingerprint) const {
  const auto at = layouts.find(table_id);
  if (at == layouts.end()) return nullptr;
  for (auto r = at->second.rbegin(); r != at->second.rend(); ++r) {
    if (r->fingerprint == fingerprint) return &r->layout;
  }
  return nullptr;
}

const TypeLayout* PoolRecords::layout(uint32_t table_id, uint64_t offset, bool retired,
                                      bool* unrecorded) const {
  if (unrecorded != nullptr) *unrecorded = false;
  // A live block: only the migration that still converts leaves objects of
  // the old layout. A retired one: the first migration that found it
  // converted it.
  for (const PoolMigration& m : migrations) {
    if (!retired && !m.converting()) continue;
    const auto* t = m.type(table_id);
    if (t == nullptr || !m.made_before(*t, offset)) continue;
    const TypeLayout* old = layout_by_fingerprint(table_id, t->old_fingerprint);
    if (unrecorded != nullptr) *unrecorded = old == nullptr;
    return old;
  }
  if (!retired) return layout(table_id);
  // Retired by no migration the pool records: by a retirement, which leaves
  // the id's layout then among its records; it is known when the id only
  // ever had one.
  const auto at = layouts.find(table_id);
  if (at == layouts.end()) return nullptr;
  const auto& records = at->second;
  const bool one = std::all_of(records.begin(), records.end(), [&](const RecordedLayout& r) {
    return r.fingerprint == records.front().fingerprint;
  });
  if (unrecorded != nullptr) *unrecorded = !one;
  return one ? &records.back().layout : nullptr;
}

const TypeLayout* PoolRecords::find(const std::string& key) const {
  for (const auto& [id, r] : layouts) {
    const TypeLayout* last = layout(id);
    if (last != nullptr && (last->name == key || std::to_string(id) == key)) return last;
  }
  return nullptr;
}

namespace {

// A recorded layout against the catalogue's type of its id: "same", "differs"
// (with the first difference that breaks sharing objects) or "absent".
void put_catalogue(Json& entry, const RecordedLayout& r, const std::vector<TypeLayout>& catalogue) {
  const TypeLayout* own = type_with_id(catalogue, r.layout.table_id);
  Json difference = nullptr;
  if (own == nullptr) {
    entry["catalogue"] = "absent";
  } else if (zim_codec::layout_fingerprint(*own) == r.fingerprint) {
    entry["catalogue"] = "same";
  } else {
    entry["catalogue"] = "differs";
    const std::string first = zim_codec::first_breaking_difference(
        zim_codec::layout_record(r.layout), zim_codec::layout_record(*own),
        {"the pool's objects", "the catalogue's"});
    difference = first.empty() ? "the layout records differ" : first;
  }
  entry["difference"] = std::move(difference);
}

}  // namespace

Json PoolRecords::report(bool list, const std::vector<TypeLayout>& catalogue) const {
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
  // The live records; the retired ones are history.
  for (const auto& [id, records] : layouts) {
    const TypeLayout* last = layout(id);
    for (const RecordedLayout& r : records) {
      if (r.retired) continue;
      Json entry{{"offset", r.offset},
                 {"table_id", id},
                 {"type", r.layout.name},
                 {"fingerprint", zim_codec::fingerprint_hex(r.fingerprint)},
                 {"superseded", &r.layout != last},
                 {"catalogue", nullptr},
                 {"difference", nullptr}};
      if (&r.layout == last) put_catalogue(entry, r, catalogue);
      layouts_json.push_back(std::move(entry));
    }
  }
  Json doc{{"config", std::move(config_json)},
           {"layout_records", std::move(layouts_json)},
           {"migrations", migrations_report(*this)},
           {"id_pages", id_page_count},
           {"retired_records", retired_records}};
  if (list) doc["id_page_offsets"] = id_pages;
  return doc;
}

}  // namespace zim_inspect
