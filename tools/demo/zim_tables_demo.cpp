// SPDX-License-Identifier: Apache-2.0
// The life of table objects on the simulated platform, in two processes.
//
// The server half creates objects of every table type in a fresh versioned
// shared-memory pool (counted types with several counts), fills every field,
// flag and array element, ends each new object's first write (which gives it
// a version), and publishes a directory of them. It then starts
// the client half as a separate process, which attaches the pool at another
// address, fixes each object's pointers, checks every byte that was written,
// takes heap and pool copies, checks them, releases the heap copies and prints
// a summary per class. Any difference makes the exit status non-zero.
//
//   zim_tables_demo                 run both halves
//   zim_tables_demo --dump FILE     the same, writing one olist object to FILE
//   zim_tables_demo client NAME     the client half, attaching pool NAME
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "layout_examples.hpp"
#include "object_pattern.hpp"
#include "zim/sim/pool_versions.h"
#include "zim/sim/shm_pool.h"
#include "zim/sim/table_props.h"
#include "zim/tables/catalogue.hpp"
#include "zim/tables/olist.h"

namespace {

namespace cat = zim_tables::catalogue;
using zim_demo::check_object;
using zim_demo::fill_object;
using zim_demo::total_size;

// Published by the server at the pool's root.
struct DirectoryEntry {
  uint32_t table_id;
  uint32_t count;
  uint32_t seed;
  uint32_t reserved;
  uint64_t offset;  // of the object in the pool
};
struct Directory {
  uint64_t magic;
  uint64_t server_base;  // where the server mapped the pool
  uint64_t entry_count;
  DirectoryEntry entries[];
};
constexpr uint64_t kDirectoryMagic = 0x7a696d5f64697231ull;  // "zim_dir1"
constexpr uint32_t kCounts[] = {0, 3, 17};
constexpr uint64_t kPoolSize = 256ull << 20;
// Versioned: each object has a version; every change goes to the feed.
constexpr zim_shm_pool_options_t kPoolOptions{1, 0, 4096, 64};
constexpr int kTimedCopies = 200;

const char* class_name(cat::TypeClass c) {
  switch (c) {
    case cat::TypeClass::kFixed:
      return "fixed-size";
    case cat::TypeClass::kSizeChecked:
      return "size-checked";
    case cat::TypeClass::kPerNpu:
      return "per-NPU";
    case cat::TypeClass::kCounted:
      return "counted";
    case cat::TypeClass::kCountOnly:
      return "count-only";
  }
  return "?";
}

// Writes the bytes of one object to a file, for zim_tables_inspect decode.
bool dump_object(const char* path, const void* obj) {
  FILE* out = std::fopen(path, "wb");
  const bool ok = out != nullptr && std::fwrite(obj, 1, total_size(obj), out) == total_size(obj);
  if (out != nullptr && std::fclose(out) != 0) return false;
  if (!ok) std::perror(path);
  return ok;
}

// Creates and fills an object of every type (counted types at each count),
// each published by its first write_end, into entries; false on a failure.
bool make_objects(const char* dump_path, std::vector<DirectoryEntry>* entries) {
  for (size_t t = 0; t < cat::type_count; ++t) {
    const cat::TableType& type = cat::types[t];
    const size_t counts = type.takes_count() ? std::size(kCounts) : 1;
    for (size_t c = 0; c < counts; ++c) {
      const uint32_t count = type.takes_count() ? kCounts[c] : 0;
      const uint32_t seed = type.table_id * 8 + static_cast<uint32_t>(c);
      // A new object is under way until its first write_end.
      void* obj = type.ops.srv_ctor_with_shm(count);
      fill_object(type, obj, seed);
      if (zim_shm_pool_write_end(obj) != 0) {
        std::perror("zim_tables_demo: write_end");
        return false;
      }
      if (dump_path != nullptr && type.table_id == ZIM_TABLE_ID_OLIST && count == 3) {
        if (!dump_object(dump_path, obj)) return false;
        std::printf("Wrote an olist object with count 3 to %s\n", dump_path);
      }
      entries->push_back({type.table_id, count, seed, 0, zim_shm_pool_offset_of(obj)});
    }
  }
  return true;
}

int run_server(const char* self, const char* dump_path) {
  const std::string name = "/zim_tables_demo." + std::to_string(getpid());
  if (zim_shm_pool_create_with(name.c_str(), kPoolSize, &kPoolOptions) != 0) {
    std::perror("zim_tables_demo: cannot create the shared-memory pool");
    return 1;
  }
  if (!zim_demo::show_examples()) return 1;
  std::vector<DirectoryEntry> entries;
  if (!make_objects(dump_path, &entries)) return 1;
  // The directory is no table object: an untyped block of the pool.
  const uint64_t dir_bytes = sizeof(Directory) + entries.size() * sizeof(DirectoryEntry);
  auto* dir = static_cast<Directory*>(zim_shm_pool_calloc_untyped(dir_bytes));
  if (dir == nullptr) {
    std::fprintf(stderr, "zim_tables_demo: the pool has no room for the directory\n");
    return 1;
  }
  dir->magic = kDirectoryMagic;
  dir->server_base = reinterpret_cast<uintptr_t>(zim_shm_pool_base());
  dir->entry_count = entries.size();
  std::memcpy(dir->entries, entries.data(), entries.size() * sizeof(DirectoryEntry));
  if (zim_shm_pool_write_end(dir) != 0) {
    std::perror("zim_tables_demo: write_end");
    return 1;
  }
  zim_shm_pool_set_root(zim_shm_pool_offset_of(dir));
  std::printf("Server: %zu objects of %zu table types in versioned pool %s at %p\n", entries.size(),
              cat::type_count, name.c_str(), zim_shm_pool_base());
  std::fflush(stdout);

  const pid_t client = fork();
  if (client == 0) {
    execl(self, self, "client", name.c_str(), static_cast<char*>(nullptr));
    std::perror("zim_tables_demo: cannot start the client");
    _exit(127);
  }
  int status = 0;
  if (client < 0 || waitpid(client, &status, 0) != client) {
    std::perror("zim_tables_demo: client");
    return 1;
  }
  // The creator's destroy fails only when a system call does; the objects
  // were checked all the same.
  if (zim_shm_pool_destroy() != 0) std::perror("zim_tables_demo: cannot remove the pool");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// The client's copy hooks count their calls; every copy must see both.
struct HookCounts {
  uint64_t heap = 0, pool = 0, src = 0;
} g_hooks;

int count_shm_hook(void*, zim_bool_t use_shm) {
  (use_shm ? g_hooks.pool : g_hooks.heap) += 1;
  return 0;
}

int count_src_hook(void*, void*) {
  g_hooks.src += 1;
  return 0;
}

struct ClassSummary {
  std::map<uint32_t, bool> types;
  uint64_t objects = 0;
  uint64_t bytes = 0;
  uint64_t copies = 0;
  double copy_seconds = 0;
};

// What the client found, over every object of the directory.
struct ClientTally {
  std::map<cat::TypeClass, ClassSummary> summary;
  uint64_t failures = 0;
  uint64_t heap_copies = 0;

  void fail(const cat::TableType& type, uint32_t count, const char* what, const std::string& why) {
    if (++failures <= 10) {
      std::fprintf(stderr, "  %s (count %u), %s: %s\n", type.name, count, what, why.c_str());
    }
  }
};

// The server's directory in the attached pool, or null with *rc set: 0 when
// the server has published nothing yet (the pool is detached again then).
const Directory* attach_directory(const char* name, int* rc) {
  *rc = 1;
  if (zim_shm_pool_attach(name) != 0) {
    std::perror("zim_tables_demo client: cannot attach the pool");
    return nullptr;
  }
  // The root names the server's directory, an untyped block, once the server
  // has published it; until then it names nothing.
  uint32_t root_id = 0;
  uint64_t root_size = 0;
  const auto* dir = static_cast<const Directory*>(
      zim_shm_pool_block_at(zim_shm_pool_root(), &root_id, &root_size));
  if (dir == nullptr) {
    std::printf("zim_tables_demo client: nothing published yet in pool %s\n", name);
    zim_shm_pool_detach();
    *rc = 0;
    return nullptr;
  }
  if (root_id != ZIM_SHM_POOL_UNTYPED || root_size < sizeof(Directory) ||
      dir->magic != kDirectoryMagic ||
      dir->entry_count > (root_size - sizeof(Directory)) / sizeof(DirectoryEntry)) {
    std::fprintf(stderr, "zim_tables_demo client: no directory in pool %s\n", name);
    return nullptr;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(zim_shm_pool_base());
  std::printf("Client: pool attached at %p (server: %#" PRIx64 ")\n", zim_shm_pool_base(),
              dir->server_base);
  if (base == dir->server_base) {
    std::fprintf(stderr, "zim_tables_demo client: the pool is at the server's address\n");
    return nullptr;
  }
  return dir;
}

// The heap and pool copies of a snapshot obj of the shared object, checked,
// then the rate of heap copies.
void check_copies(const cat::TableType& type, const DirectoryEntry& e, void* obj,
                  const unsigned char* shared, ClassSummary& s, ClientTally& t) {
  void* heap_copy = type.ops.copy_ctor(obj);
  void* pool_copy = type.ops.copy_ctor_with_shm(obj);
  t.heap_copies += 1;
  if (zim_shm_pool_write_end(pool_copy) != 0) t.fail(type, e.count, "pool copy", "write_end");
  for (void* copy : {heap_copy, pool_copy}) {
    const char* what = copy == heap_copy ? "heap copy" : "pool copy";
    if (std::memcmp(copy, shared, ZIM_OBJ_BASE_HEADER_SIZE) != 0) {
      t.fail(type, e.count, what, "base header differs from the source's");
    } else if (auto why = check_object(type, copy, e.seed, e.count); !why.empty()) {
      t.fail(type, e.count, what, why);
    }
  }
  if (zim_shm_pool_offset_of(pool_copy) == ZIM_SHM_POOL_BAD_OFFSET) {
    t.fail(type, e.count, "pool copy", "not in the pool");
  }
  type.ops.clnt_copy_dtor(heap_copy);

  // The rate: heap copies made and released again, after the first copy
  // has paid for page faults and symbol binding.
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < kTimedCopies; ++r) type.ops.clnt_copy_dtor(type.ops.copy_ctor(obj));
  s.copy_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.copies += kTimedCopies;
  t.heap_copies += kTimedCopies;
}

// Directory entry i: its object's snapshot and copies, none of which may
// change the shared object.
void check_entry(const Directory& dir, uint64_t i, ClientTally& t) {
  const DirectoryEntry& e = dir.entries[i];
  // Read, never written: the server's pointers stay those of its mapping.
  uint32_t block_id = 0;
  uint64_t block_size = 0;
  const auto* shared =
      static_cast<const unsigned char*>(zim_shm_pool_block_at(e.offset, &block_id, &block_size));
  const uint32_t index = e.table_id - cat::types[0].table_id;  // its ids are contiguous
  if (shared == nullptr || block_id != e.table_id || index >= cat::type_count ||
      block_size != total_size(shared)) {
    ++t.failures;
    std::fprintf(stderr, "  directory entry %" PRIu64 ": no object of table id %u at %" PRIu64 "\n",
                 i, e.table_id, e.offset);
    return;
  }
  const cat::TableType& type = cat::types[index];
  const std::vector<unsigned char> before(shared, shared + total_size(shared));
  void* obj = type.snapshot(const_cast<unsigned char*>(shared));
  if (obj == nullptr) return t.fail(type, e.count, "snapshot", "no memory");
  if (auto why = check_object(type, obj, e.seed, e.count); !why.empty()) {
    t.fail(type, e.count, "snapshot", why);
    type.ops.clnt_copy_dtor(obj);
    return;
  }
  ClassSummary& s = t.summary[type.type_class];
  s.types[type.table_id] = true;
  s.objects += 1;
  s.bytes += total_size(obj);
  check_copies(type, e, obj, shared, s, t);
  if (std::memcmp(shared, before.data(), before.size()) != 0) {
    t.fail(type, e.count, "server object", "changed by the client");
  }
  type.ops.clnt_copy_dtor(obj);
}

// The hooks' counts, the table per class and the verdict.
int report(ClientTally& t, uint64_t published) {
  const uint64_t pool_copies = published;
  if (g_hooks.heap != t.heap_copies || g_hooks.pool != pool_copies ||
      g_hooks.src != t.heap_copies + pool_copies) {
    ++t.failures;
    std::fprintf(stderr,
                 "  copy hooks: %" PRIu64 " heap, %" PRIu64 " pool, %" PRIu64
                 " source calls for %" PRIu64 " heap and %" PRIu64 " pool copies\n",
                 g_hooks.heap, g_hooks.pool, g_hooks.src, t.heap_copies, pool_copies);
  }
  std::printf("\n%-13s %6s %8s %12s %16s\n", "class", "types", "objects", "bytes", "heap copies/s");
  uint64_t objects = 0;
  for (const auto& [cls, s] : t.summary) {
    std::printf("%-13s %6zu %8" PRIu64 " %12" PRIu64 " %16.0f\n", class_name(cls), s.types.size(),
                s.objects, s.bytes,
                s.copy_seconds > 0 ? static_cast<double>(s.copies) / s.copy_seconds : 0.0);
    objects += s.objects;
  }
  if (t.failures != 0 || objects != published) {
    std::printf("\nFAILED: %" PRIu64 " differences\n", t.failures);
    return 1;
  }
  std::printf("Copy hooks ran for all %" PRIu64 " copies.\n", t.heap_copies + pool_copies);
  std::printf("\nAll %" PRIu64 " objects and their %" PRIu64
              " copies arrived intact; the client wrote none of the shared objects.\n",
              objects, 2 * objects);
  return 0;
}

int run_client(const char* name) {
  int rc = 0;
  const Directory* dir = attach_directory(name, &rc);
  if (dir == nullptr) return rc;
  for (size_t t = 0; t < cat::type_count; ++t) {
    zim_table_props_set_copy_hooks(cat::types[t].table_id, count_shm_hook, count_src_hook);
    zim_table_props_enable_copy_hooks(cat::types[t].table_id, 1);
  }
  ClientTally tally;
  for (uint64_t i = 0; i < dir->entry_count; ++i) check_entry(*dir, i, tally);
  const uint64_t published = dir->entry_count;
  zim_shm_pool_detach();
  return report(tally, published);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "client") == 0) return run_client(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--dump") == 0)
    return run_server("/proc/self/exe", argv[2]);
  if (argc != 1) {
    std::fprintf(stderr, "usage: zim_tables_demo [--dump FILE]\n");
    return 2;
  }
  return run_server("/proc/self/exe", nullptr);
}
