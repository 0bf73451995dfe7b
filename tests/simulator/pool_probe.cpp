// SPDX-License-Identifier: Apache-2.0
// A second process for the pool's handshake tests, with its own configuration
// (environment) and, built with PROBE_TYPE, its own layout of probe_entry
// (probe_defs/a or b), table id 0. Commands, the pool's name last:
//   serve NAME    create the pool, make a block of table id 0 holding 77 under
//                 the root, print "ready", run until stdin closes
//   attach NAME   attach; print the root's value (exit 0) or errno (3)
//   adopt NAME    the same, adopting the pool instead
//   make NAME     attach, print "attached", wait for a line on stdin (or its end), make
//                 a block of table id 0: exit 0, or 4 when the pool refuses it
//   make NAME LIB the same, after loading the library LIB (dlopen)
//   premake NAME LIB  make one block before loading LIB, then as make
//   fill NAME COUNT   attach; make COUNT probe_entry objects (probe_objects.hpp),
//                 3 of each other probe type, 2 blocks of table id 5 (no
//                 type) and an untyped directory of the probe_entry objects'
//                 offsets; the root names the first object; print the
//                 directory's offset (exit 0), 4 when the pool is full
//                 In a versioned pool each of them is made whole (its first
//                 write_end) and probe_entry object i and probe_kept object i
//                 are indexed under key i of their table ids.
//   bad NAME      attach; make a probe_entry block that holds no object
//   migrate NAME  adopt; migrate; print 0 or the errno
// Built with PROBE_LIBRARY, it is that library: the layout note alone.
#ifdef PROBE_TYPE
#include <zim/tables/probe_entry.h>
#if __has_include(<zim/tables/probe_kept.h>)
#include <zim/tables/probe_kept.h>
#endif
#endif
#ifndef PROBE_LIBRARY
#include <dlfcn.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/platform.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "probe_objects.hpp"

namespace {

// The layout note comes with the type's header; the blocks are made with the
// allocator directly, whose refusal this probe reports, of the type's size
// (the allocator holds a noted type's blocks to its layout's sizes).
void* make() {
#ifdef PROBE_TYPE
  const uint64_t size = ZIM_PROBE_ENTRY_OBJECT_SIZE(0u, qor_npd_get_table_size(0), 0u);
#else
  // probe_entry's size in probe_defs/a and b alike, for the layouts a loaded
  // library brings.
  const uint64_t size = 232 + uint64_t{qor_npd_get_table_size(0)};
#endif
  return zim_shm_table_pool_calloc(0, size);
}

int serve(const char* name) {
  if (zim_shm_pool_create(name, 1u << 20) != 0) return 2;
  auto* obj = static_cast<uint64_t*>(make());
  if (obj == nullptr) return 4;
  *obj = 77;
  zim_shm_pool_set_root(zim_shm_pool_offset_of(obj));
  std::printf("ready\n");
  std::fflush(stdout);
  char c;
  while (read(STDIN_FILENO, &c, 1) > 0) {
  }
  return 0;
}

#ifdef PROBE_TYPE
// A block of the type's size (fixed types: sized without N) holding object i
// when stamp is set, nothing otherwise.
#define PROBE_MAKE(T, i, stamp)                                                \
  [](uint32_t index, bool write) {                                             \
    const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_##T);             \
    const uint64_t size = ZIM_##T##_OBJECT_SIZE(0u, npd, 0u);                  \
    void* obj = zim_shm_table_pool_calloc(ZIM_TABLE_ID_##T, size);             \
    if (obj != nullptr && write) PROBE_OBJECT(T, obj, true, index, size, npd); \
    return obj;                                                                \
  }(i, stamp)

constexpr uint64_t kNoKey = UINT64_MAX;

// A versioned pool's object made whole, and indexed under key: obj, or null.
void* made(void* obj, uint32_t table_id, uint64_t key) {
  if (obj == nullptr || !zim_shm_pool_is_versioned()) return obj;
  if (zim_shm_pool_write_end(obj) != 0) return nullptr;
  if (key != kNoKey && zim_shm_pool_index_put(table_id, key, obj, nullptr) != 0) return nullptr;
  return obj;
}

int fill(uint32_t count) {
  auto* directory = static_cast<uint64_t*>(zim_shm_pool_calloc_untyped(8 * uint64_t{count}));
  if (directory == nullptr) return 4;
  for (uint32_t i = 0; i < count; ++i) {
    void* entry = made(PROBE_MAKE(PROBE_ENTRY, i, true), ZIM_TABLE_ID_PROBE_ENTRY, i);
    directory[i] = zim_shm_pool_offset_of(entry);
    if (directory[i] == ZIM_SHM_POOL_BAD_OFFSET) return 4;
  }
  for (uint32_t i = 0; i < 3; ++i) {
#ifdef ZIM_TABLE_ID_PROBE_KEPT
    if (made(PROBE_MAKE(PROBE_KEPT, i, true), ZIM_TABLE_ID_PROBE_KEPT, i) == nullptr) return 4;
#endif
  }
  for (int i = 0; i < 2; ++i) {
    void* block = zim_shm_table_pool_calloc(5, 48);
    if (block == nullptr) return 4;
    std::memset(block, 0x5a, 48);
    if (made(block, 5, kNoKey) == nullptr) return 4;
  }
  if (made(directory, ZIM_SHM_POOL_UNTYPED, kNoKey) == nullptr) return 4;
  zim_shm_pool_set_root(directory[0]);
  std::printf("%llu\n", static_cast<unsigned long long>(zim_shm_pool_offset_of(directory)));
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 1;
  const std::string command = argv[1];
  if (command == "serve") return serve(argv[2]);
  const bool adopt = command == "adopt" || command == "migrate";
  if ((adopt ? zim_shm_pool_adopt : zim_shm_pool_attach)(argv[2]) != 0) {
    std::printf("%s\n", std::strerror(errno));
    return zim_shm_pool_base() == nullptr ? 3 : 5;
  }
  if (command == "attach" || command == "adopt") {
    const auto* root =
        static_cast<const uint64_t*>(zim_shm_pool_block_at(zim_shm_pool_root(), nullptr, nullptr));
    std::printf("%llu\n", root != nullptr ? static_cast<unsigned long long>(*root) : 0ull);
    return 0;
  }
  if (command == "migrate") {
    std::printf("%s\n", zim_shm_pool_migrate(nullptr, nullptr) == 0 ? "0" : std::strerror(errno));
    return 0;
  }
#ifdef PROBE_TYPE
  if (command == "fill" && argc == 4) return fill(static_cast<uint32_t>(std::atoi(argv[3])));
  if (command == "bad") return PROBE_MAKE(PROBE_ENTRY, 0, false) != nullptr ? 0 : 4;
#endif
  std::printf("attached\n");
  std::fflush(stdout);
  char c;
  if (read(STDIN_FILENO, &c, 1) < 0) return 1;  // a line, or stdin closed
  if (command == "premake" && make() == nullptr) return 6;
  if (argc == 4 && dlopen(argv[3], RTLD_NOW) == nullptr) return 7;
  return make() != nullptr ? 0 : 4;
}
#endif
