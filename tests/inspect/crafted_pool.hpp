// SPDX-License-Identifier: Apache-2.0
// Pools crafted piece by piece and walked in process: a platform type's
// object and a user's type beside it, described by the pool's own records.
#ifndef ZIM_TESTS_INSPECT_CRAFTED_POOL_HPP
#define ZIM_TESTS_INSPECT_CRAFTED_POOL_HPP

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "gen/manifest/manifest.hpp"
#include "migration_records.hpp"
#include "objects.hpp"
#include "pool.hpp"

inline constexpr uint32_t kUserId = 1000, kUserUid = 4242;

struct Piece {
  uint32_t tag;
  Bytes bytes;
  uint32_t retired = 0, is_root = 0;
};
inline std::vector<Piece> g_pool;

// Where a walk finds g_pool[index]: the pieces lie back to back.
inline uint64_t offset_of(size_t index) {
  uint64_t at = ZIM_SHM_POOL_HEADER_SIZE + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  for (size_t i = 0; i < index; ++i) {
    at += (g_pool[i].bytes.size() + 15) / 16 * 16 + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  }
  return at;
}

inline int crafted_walk(const char*, int (*visit)(const zim_shm_pool_piece_t*, void*),
                        void* context, zim_shm_pool_walk_facts_t* facts) {
  if (facts != nullptr) *facts = {};
  for (size_t i = 0; i < g_pool.size(); ++i) {
    const Piece& p = g_pool[i];
    const zim_shm_pool_piece_t piece{offset_of(i),   p.bytes.size(), p.tag, p.is_root,
                                     p.bytes.data(), p.retired,      0};
    if (const int rc = visit(&piece, context)) return rc;
  }
  return 0;
}

inline int crafted_read(const zim_shm_pool_piece_t* piece, uint64_t from, uint64_t size, void* to) {
  if (from > piece->size || size > piece->size - from) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(to, static_cast<const unsigned char*>(piece->data) + from, size);
  return 0;
}

// The record of a catalogue type's layout under another name and id.
inline std::string record_as(uint32_t from_id, uint32_t id, const std::string& name) {
  TypeLayout from = layouts()[from_id];
  from.table_id = id;
  return zim_codec::layout_record(migration_test::renamed(from, name));
}

// A user's type: testdynhg's layout (a count and per-NPU arrays, so N and
// the NPD size both move bytes) under its own name and id, as its record.
inline std::string user_record() {
  return record_as(ZIM_TABLE_ID_TESTDYNHG, kUserId, "port_entry");
}

inline Bytes config(uint32_t npus, uint32_t default_npd,
                    std::vector<zim_shm_pool_config_entry_t> entries,
                    uint32_t claimed = UINT32_MAX) {
  Bytes b(sizeof(zim_shm_pool_config_t) + entries.size() * sizeof entries[0]);
  const auto count = claimed == UINT32_MAX ? static_cast<uint32_t>(entries.size()) : claimed;
  const zim_shm_pool_config_t head{npus, default_npd, count, 0};
  std::memcpy(b.data(), &head, sizeof head);
  if (!entries.empty()) std::memcpy(b.data() + sizeof head, entries.data(), b.size() - sizeof head);
  return b;
}

inline Bytes layout_record(uint32_t id, uint64_t fingerprint, const std::string& text,
                           uint32_t text_size) {
  Bytes b(sizeof(zim_shm_pool_layout_record_t) + text.size());
  const zim_shm_pool_layout_record_t head{id, text_size, fingerprint};
  std::memcpy(b.data(), &head, sizeof head);
  std::memcpy(b.data() + sizeof head, text.data(), text.size());
  return b;
}

inline Bytes record_piece(const std::string& text) {
  const auto layout = zim_codec::read_layout_record(text);
  if (!layout) return {};
  return layout_record(layout->table_id, zim_codec::layout_fingerprint(*layout), text,
                       static_cast<uint32_t>(text.size()));
}

inline Bytes user_object() {
  Bytes b = real_object(ZIM_TABLE_ID_TESTDYNHG, 2);
  put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, kUserId);
  put<uint32_t>(b, ZIM_OBJ_UID_OFFSET, kUserUid);
  return b;
}

// A pool as this process's platform would make it: its N, a default NPD size
// no object uses, and an entry for each id that holds objects.
inline void craft_pool(const std::function<void(Bytes& record)>& damage = nullptr,
                       const std::vector<Piece>& more = {}) {
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  Bytes record = record_piece(user_record());
  ASSERT_FALSE(record.empty());
  if (damage) damage(record);
  // The record lies past the object it describes, as in a pool it may.
  g_pool = {{ZIM_SHM_POOL_CONFIG, config(hulcon_config_get_max_num_npus(), npd + 8,
                                         {{ZIM_TABLE_ID_TESTDYNHG, npd}, {kUserId, npd}})},
            {ZIM_SHM_POOL_ID_PAGE, Bytes(64, 0)},
            {ZIM_TABLE_ID_TESTDYNHG, real_object(ZIM_TABLE_ID_TESTDYNHG, 3)},
            {kUserId, user_object()},
            {ZIM_SHM_POOL_LAYOUT, record}};
  g_pool.insert(g_pool.end(), more.begin(), more.end());
}

inline zim_inspect::PoolContext crafted_context() {
  zim_inspect::PoolContext c;
  c.types = &layouts();
  c.sizing = [](uint32_t) { return Sizing{}; };  // no object fits: the config must be read
  c.walk = crafted_walk;
  c.read = crafted_read;
  return c;
}

inline std::string problems_of(const Json& report) {
  std::string all = report["problems"].dump();
  for (const auto& t : report["tables"]) all += t["problems"].dump();
  return all;
}

#endif  // ZIM_TESTS_INSPECT_CRAFTED_POOL_HPP
