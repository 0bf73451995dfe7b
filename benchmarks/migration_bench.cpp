// SPDX-License-Identifier: Apache-2.0
// zim_shm_pool_migrate on pools that a first-version server filled and handed
// over (zim_migration_bench_fill): 100,000 objects of a type whose arrays'
// elements this version widens, against calloc + memcpy of the same bytes
// (the least a copy into new objects costs), and pools whose layouts this
// version keeps, whose migration must cost the same for 1,000 objects as for
// 100,000. This program carries migration_defs/v2's layout notes.
//   zim_migration_bench [Google Benchmark flags]
//   zim_migration_bench --loop migrate|calloc_memcpy|unchanged OBJECTS
// The second form does one run, for callgrind (migration_callgrind.sh).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "migration_values.h"

namespace {

constexpr uint64_t kPoolSize = 256u << 20;

const std::string& pool_name() {
  static const std::string name = "/zim_migration_bench." + std::to_string(getpid());
  return name;
}

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

// A pool of `objects` first-version objects, handed over, then adopted here.
void fill_and_adopt(const char* kind, int64_t objects) {
  const std::string& name = pool_name();  // this process's pid, not the child's
  const std::string size = std::to_string(kPoolSize), count = std::to_string(objects);
  const pid_t pid = fork();
  if (pid == 0) {
    execl(ZIM_MIGRATION_FILL, ZIM_MIGRATION_FILL, name.c_str(), size.c_str(), kind, count.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    fail("zim_migration_bench_fill");
  }
  if (zim_shm_pool_adopt(name.c_str()) != 0) fail("adopt");
}

struct Moves {
  std::vector<uint64_t> to;  // reserved up front: recording a move costs a store
};

void record_move(uint64_t, uint64_t new_offset, uint32_t, void* context) {
  static_cast<Moves*>(context)->to.push_back(new_offset);
}

__attribute__((noinline)) int run_migrate(Moves* moves) {
  return zim_shm_pool_migrate(record_move, moves);
}

// Every converted object holds what the first version wrote, widened, with
// the field this version added absent; the migration is measured only if so.
void check_converted(const Moves& moves, int64_t objects) {
  bool ok = static_cast<int64_t>(moves.to.size()) == objects;
  for (size_t i = 0; ok && i < moves.to.size(); ++i) {
    auto* t = static_cast<qor_hop_table_obj_st>(zim_shm_pool_at(moves.to[i]));
    ok = t != nullptr && zim_hop_table_get_generation(t) == kMigrationGeneration &&
         !zim_hop_table_has_updated(t) && zim_hop_table_hops_length(t) == kMigrationHops;
    for (uint32_t k = 0; ok && k < kMigrationHops; ++k) {
      ok = zim_hop_table_get_hops(t, k) == migration_hop(k) && zim_hop_table_has_hops(t, k);
    }
    for (uint32_t n = 0; ok && n < zim_hop_table_lanes_length(t); ++n) {
      ok = zim_hop_table_get_lanes(t, n) == migration_lane(n) && zim_hop_table_has_lanes(t, n);
    }
  }
  if (!ok) {
    std::fprintf(stderr, "the migration of %lld objects lost or changed some\n",
                 static_cast<long long>(objects));
    std::exit(1);
  }
}

// The baseline: a zero-filled block of the new object's size for each old
// object, and the old object's bytes copied into it.
struct OldObjects {
  std::vector<const void*> bytes;
  uint64_t size = 0;
};

int collect(const zim_shm_pool_piece_t* piece, void* context) {
  auto* old = static_cast<OldObjects*>(context);
  if (piece->table_id == ZIM_TABLE_ID_HOP_TABLE && piece->retired == 0) {
    old->bytes.push_back(piece->data);
    old->size = piece->size;
  }
  return 0;
}

OldObjects old_objects() {
  OldObjects old;
  if (zim_shm_pool_walk_mapped(collect, &old) != 0) fail("walk");
  return old;
}

uint64_t new_object_size() {
  return ZIM_HOP_TABLE_OBJECT_SIZE(hulcon_config_get_max_num_npus(),
                                   qor_npd_get_table_size(ZIM_TABLE_ID_HOP_TABLE), kMigrationHops);
}

__attribute__((noinline)) void run_calloc_memcpy(const OldObjects& old, uint64_t new_size,
                                                 void** copies) {
  for (size_t i = 0; i < old.bytes.size(); ++i) {
    copies[i] = std::calloc(1, new_size);
    std::memcpy(copies[i], old.bytes[i], old.size);
  }
}

void BM_MigrateChanged(benchmark::State& state) {
  const int64_t objects = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    fill_and_adopt("changed", objects);
    Moves moves;
    moves.to.reserve(static_cast<size_t>(objects));
    state.ResumeTiming();
    if (run_migrate(&moves) != 0) fail("migrate");
    state.PauseTiming();
    check_converted(moves, objects);
    if (zim_shm_pool_destroy() != 0) fail("destroy");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * objects);
}
BENCHMARK(BM_MigrateChanged)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_CallocMemcpy(benchmark::State& state) {
  const int64_t objects = state.range(0);
  fill_and_adopt("changed", objects);
  const OldObjects old = old_objects();
  const uint64_t new_size = new_object_size();
  std::vector<void*> copies(old.bytes.size());
  for (auto _ : state) {
    run_calloc_memcpy(old, new_size, copies.data());
    state.PauseTiming();
    for (void* copy : copies) std::free(copy);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * objects);
  if (zim_shm_pool_destroy() != 0) fail("destroy");
}
BENCHMARK(BM_CallocMemcpy)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

// Nothing to convert: the migration reads the recorded layouts, never the
// objects, and writes nothing, so it can run again and again on one pool.
void BM_MigrateUnchanged(benchmark::State& state) {
  const int64_t objects = state.range(0);
  fill_and_adopt("unchanged", objects);
  Moves moves;
  for (auto _ : state) {
    if (run_migrate(&moves) != 0) fail("migrate");
  }
  if (!moves.to.empty()) fail("a pool of unchanged layouts migrated objects");
  state.counters["objects"] = static_cast<double>(objects);
  if (zim_shm_pool_destroy() != 0) fail("destroy");
}
BENCHMARK(BM_MigrateUnchanged)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// One run of `what` over `objects` objects, for callgrind to count.
int loop(const char* what, int64_t objects) {
  Moves moves;
  moves.to.reserve(static_cast<size_t>(objects));
  if (std::strcmp(what, "migrate") == 0 || std::strcmp(what, "unchanged") == 0) {
    const bool changed = std::strcmp(what, "migrate") == 0;
    fill_and_adopt(changed ? "changed" : "unchanged", objects);
    if (run_migrate(&moves) != 0) fail("migrate");
    if (changed) check_converted(moves, objects);
  } else if (std::strcmp(what, "calloc_memcpy") == 0) {
    fill_and_adopt("changed", objects);
    const OldObjects old = old_objects();
    std::vector<void*> copies(old.bytes.size());
    run_calloc_memcpy(old, new_object_size(), copies.data());
    for (void* copy : copies) std::free(copy);
  } else {
    std::fputs("usage: zim_migration_bench --loop migrate|calloc_memcpy|unchanged OBJECTS\n",
               stderr);
    return 2;
  }
  return zim_shm_pool_destroy() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--loop") == 0) return loop(argv[2], std::atoll(argv[3]));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
