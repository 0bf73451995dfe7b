// SPDX-License-Identifier: Apache-2.0
// A crafted pool in the middle of a migration, for the tests of how the
// inspector reads migrations.
#ifndef ZIM_TESTS_INSPECT_CRAFTED_MIGRATION_HPP
#define ZIM_TESTS_INSPECT_CRAFTED_MIGRATION_HPP

#include <cstring>

#include "crafted_pool.hpp"

// A migration of the user's type from testdynhg's layout to olist's: one
// object converted (its old block retired and still named by the root slot),
// one not yet, bytes of a retired block that no layout reads, and records of
// two catalogue ids, one as the catalogue has it, one not.
inline constexpr uint32_t kRetiredUid = 4243;
inline constexpr size_t kOldRecord = 4, kNewRecord = 9, kConverted = 10;

inline uint64_t recorded_fingerprint(size_t record) {
  return reinterpret_cast<const zim_shm_pool_layout_record_t*>(g_pool[record].bytes.data())
      ->fingerprint;
}

inline void craft_migration(uint32_t state) {
  Bytes retired = user_object();
  put<uint32_t>(retired, ZIM_OBJ_UID_OFFSET, kRetiredUid);
  Bytes converted = real_object(ZIM_TABLE_ID_OLIST, 2);
  put<uint16_t>(converted, ZIM_OBJ_TABLE_ID_OFFSET, kUserId);
  const uint32_t dynhg = ZIM_TABLE_ID_TESTDYNHG;
  craft_pool(nullptr, {{kUserId, retired, 1, 1},
                       {kUserId, Bytes(64, 0xee), 1},
                       {ZIM_SHM_POOL_LAYOUT, record_piece(record_as(dynhg, dynhg, "testdynhg"))},
                       {ZIM_SHM_POOL_LAYOUT, record_piece(record_as(dynhg, 268, "olist"))},
                       {ZIM_SHM_POOL_LAYOUT, record_piece(record_as(268, kUserId, "port_entry"))},
                       {kUserId, converted}});
  const uint64_t from = recorded_fingerprint(kOldRecord), to = recorded_fingerprint(kNewRecord);
  const zim_shm_pool_migration_type_t type{kUserId, 0, from, to, offset_of(kNewRecord), 0, 0};
  const uint64_t capacity = 2;
  Bytes b(sizeof(zim_shm_pool_migration_t) + sizeof type + capacity * sizeof(zim_shm_pool_move_t));
  const zim_shm_pool_migration_t head{state, 1, offset_of(kConverted), capacity, 1};
  const zim_shm_pool_move_t move{offset_of(5), offset_of(kConverted), kUserId, 0};
  std::memcpy(b.data(), &head, sizeof head);
  std::memcpy(b.data() + sizeof head, &type, sizeof type);
  std::memcpy(b.data() + sizeof head + sizeof type, &move, sizeof move);
  g_pool.push_back({ZIM_SHM_POOL_MIGRATION, b});
}

inline constexpr size_t kMigrationRecord = kConverted + 1;

#endif  // ZIM_TESTS_INSPECT_CRAFTED_MIGRATION_HPP
