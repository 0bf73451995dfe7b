// SPDX-License-Identifier: Apache-2.0
#include "codec/pool_records.hpp"

#include <algorithm>

namespace zim_codec {
namespace {

// Sets the problem, if asked for, and says the record fails. Building the
// text may only fail for want of memory; the verdict stands without it.
template <typename Text>
bool refuse(std::string* problem, Text text) noexcept {
  if (problem == nullptr) return false;
  try {
    *problem = text();
  } catch (...) {
    problem->clear();
  }
  return false;
}

std::string num(uint64_t v) { return std::to_string(v); }

}  // namespace

bool config_entries_fit(const zim_shm_pool_config_t& head, uint64_t size,
                        std::string* problem) noexcept {
  const uint64_t count = head.entry_count;
  if (size >= sizeof head && count <= (size - sizeof head) / sizeof(zim_shm_pool_config_entry_t)) {
    return true;
  }
  return refuse(problem, [&] {
    return "the config record has " + num(count) + " NPD sizes, more than its " + num(size) +
           " bytes hold";
  });
}

bool config_entry_in_order(uint64_t index, uint32_t table_id, std::optional<uint32_t> previous,
                           std::string* problem) noexcept {
  if (table_id <= kMaxTableId && (!previous || table_id > *previous)) return true;
  return refuse(problem, [&] {
    return "the config record's NPD size " + num(index) + " is for table id " + num(table_id) +
           ", not above the one before and at most " + num(kMaxTableId);
  });
}

bool layout_text_fits(const zim_shm_pool_layout_record_t& head, uint64_t size,
                      std::string* problem) noexcept {
  if (size >= sizeof head && head.text_size <= kMaxLayoutText &&
      head.text_size <= size - sizeof head) {
    return true;
  }
  return refuse(problem, [&] {
    return "the layout record of table id " + num(head.table_id) + " says it holds " +
           num(head.text_size) + " bytes of text; its block holds " +
           num(size < sizeof head ? 0 : size - sizeof head);
  });
}

bool migration_head_fits(const zim_shm_pool_migration_t& head, uint64_t move_count, uint64_t size,
                         std::string* problem) noexcept {
  if (head.state != ZIM_SHM_POOL_MIGRATING && head.state != ZIM_SHM_POOL_MIGRATED) {
    return refuse(problem, [&] {
      return "the migration record is in state " + num(head.state) +
             ", neither migrating (1) nor migrated (2)";
    });
  }
  if (size < sizeof head) {
    return refuse(problem, [&] {
      return "the migration record's block holds " + num(size) + " bytes, less than its head's " +
             num(sizeof head);
    });
  }
  const uint64_t room = size - sizeof head;
  const uint64_t types_fit =
      std::min<uint64_t>(room / sizeof(zim_shm_pool_migration_type_t), kMaxMigrationTypes);
  if (head.type_count > types_fit) {
    return refuse(problem, [&] {
      return "the migration record says it holds " + num(head.type_count) +
             " types; its block holds " + num(types_fit);
    });
  }
  const uint64_t moves_fit = (room - head.type_count * sizeof(zim_shm_pool_migration_type_t)) /
                             sizeof(zim_shm_pool_move_t);
  if (head.move_capacity > moves_fit || move_count > head.move_capacity) {
    return refuse(problem, [&] {
      return "the migration record says it made " + num(move_count) + " of " +
             num(head.move_capacity) + " moves; its block holds " + num(moves_fit);
    });
  }
  return true;
}

bool migration_types_sound(const zim_shm_pool_migration_type_t* types, uint64_t count,
                           std::string* problem) noexcept {
  // Sorted copies would allocate; a migration names few types, and at most
  // kMaxMigrationTypes, so a bitmap of every id decides in one pass.
  static_assert(kMaxTableId < (uint64_t{1} << 20), "the bitmap below covers every table id");
  uint64_t seen[(kMaxTableId + 64) / 64] = {};
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t id = types[i].table_id;
    if (id <= kMaxTableId && (seen[id / 64] & (uint64_t{1} << (id % 64))) == 0) {
      seen[id / 64] |= uint64_t{1} << (id % 64);
      continue;
    }
    return refuse(problem, [&] {
      return "the migration record names table id " + num(id) + " twice or above " +
             num(kMaxTableId);
    });
  }
  return true;
}

}  // namespace zim_codec
