# SPDX-License-Identifier: Apache-2.0
# The pool's sources, by room (each folder's header says what the room may
# write), relative to simulator/: libzim_memory and the fuzz build that
# compiles them with the sanitizers read this one list.
set(ZIM_MEMORY_SOURCES
  src/segment/header_facts.cpp
  src/segment/pool_lock.cpp
  src/records/checked_layouts.cpp
  src/records/migration_record.cpp
  src/records/object_sizes.cpp
  src/records/pool_records.cpp
  src/records/program_layouts.cpp
  src/names/mapping.cpp
  src/names/shm_names.cpp
  src/names/shm_pool_owner.cpp
  src/attach/attach_locks.cpp
  src/attach/default_pool.cpp
  src/attach/shm_pool.cpp
  src/versions/brackets.cpp
  src/versions/change_announcer.cpp
  src/versions/object_reads.cpp
  src/versions/pool_changes.cpp
  src/versions/pool_create_with.cpp
  src/versions/pool_index.cpp
  src/versions/pool_rooms.cpp
  src/versions/versions_report.cpp
  src/versions/writer_slots.cpp
  src/alloc/table_pool_calloc.cpp
  src/alloc/untyped_block.cpp
  src/migration/migration.cpp
  src/migration/migration_prepare.cpp
  src/migration/migration_transactions.cpp
  src/walk/pool_walk.cpp
  src/feed/feed_append.cpp
  src/feed/feed_futex.cpp
  src/feed/feed_layout.cpp
  src/feed/feed_read.cpp
  src/index/index_check.cpp
  src/index/index_layout.cpp
  src/index/index_read.cpp
  src/index/index_write.cpp)
