// SPDX-License-Identifier: Apache-2.0
// The pool's own records (zim/sim/pool_records.h) as their readers judge them:
// the pool at attach, allocation and migration, the inspector on any pool it
// is shown. Their bytes are anyone's of the pool's users to write, so each
// check bounds every count by the block that holds it before anything is
// read past the record's header, with one set of bounds for every reader.
// Each check is noexcept: the pool calls them from its C functions. A
// problem is stated in *problem (when given) in the inspector's words.
#pragma once

#include <zim/sim/pool_records.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/limits.hpp"

namespace zim_codec {

// Table ids per id page: the pool carves one page for 256 consecutive ids.
inline constexpr uint64_t kIdsPerPage = 256;
// Id pages cover every table id, so a pool holds at most this many.
inline constexpr uint64_t kMaxIdPages = (kMaxTableId + 1) / kIdsPerPage;
// A layout record of a real type takes a few KiB; anything past this is damage.
inline constexpr uint64_t kMaxLayoutText = uint64_t{1} << 20;
// Each table id changes once in a migration.
inline constexpr uint64_t kMaxMigrationTypes = kMaxTableId + 1;

// A configuration record of `size` bytes whose header is `head`: whether its
// entries fit the block (then `entries` is how many to read).
bool config_entries_fit(const zim_shm_pool_config_t& head, uint64_t size,
                        std::string* problem) noexcept;

// The configuration's NPD sizes hold for ascending table ids up to the
// largest: whether entry `index`, for `table_id`, may follow one for
// `previous` (none before the first).
bool config_entry_in_order(uint64_t index, uint32_t table_id, std::optional<uint32_t> previous,
                           std::string* problem) noexcept;

// A layout record's block of `size` bytes whose header is `head`: its text,
// when it lies inside the block and within kMaxLayoutText.
bool layout_text_fits(const zim_shm_pool_layout_record_t& head, uint64_t size,
                      std::string* problem) noexcept;

// A migration record's block of `size` bytes whose header is `head` and
// whose move count is `move_count` (a word the migration writes as it goes):
// whether its state is one of the two, its types and moves fit the block.
bool migration_head_fits(const zim_shm_pool_migration_t& head, uint64_t move_count, uint64_t size,
                         std::string* problem) noexcept;

// Whether the types of a migration record name table ids up to the largest,
// each once.
bool migration_types_sound(const zim_shm_pool_migration_type_t* types, uint64_t count,
                           std::string* problem) noexcept;

}  // namespace zim_codec
