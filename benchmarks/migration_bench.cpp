// SPDX-License-Identifier: Apache-2.0
// zim_shm_pool_migrate on pools that a first-version server filled and handed
// over (zim_migration_bench_fill): 100,000 objects of a type whose arrays'
// elements this version widens, against calloc + memcpy of the same bytes
// (the least a copy into new objects costs), and pools whose layouts this
// version keeps, whose migration must cost the same for 1,000 objects as for
// 100,000. This program carries migration_defs/v2's layout notes.
//   zim_migration_bench [Google Benchmark flags]
//   zim_migration_bench --loop migrate|calloc_memcpy|unchanged|unchanged_again OBJECTS
//   zim_migration_bench --cpu REPEATS OBJECTS
// The second form does one run, for callgrind (migration_callgrind.sh); the
// third, REPEATS interleaved pairs of a migration and of copying the same
// objects into fresh pages of a tmpfs file, their CPU times and ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The baseline of CPU time: the same objects copied, in order, into fresh
// pages of a file in /dev/shm of the pool's size, each where a conversion
// would carve it (a block header's line in front, whole lines). The file is
// made and mapped before the clock starts, as the pool is made and adopted
// before a migration's; the page faults of the copies count, as the
// conversions' do.
struct TmpfsFile {
  std::string path = "/dev/shm/zim_migration_bench_copy." + std::to_string(getpid());
  int fd = -1;
  char* at = nullptr;
};

void make_tmpfs_file(TmpfsFile* file) {
  file->fd = open(file->path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (file->fd < 0 || ftruncate(file->fd, kPoolSize) != 0) fail("tmpfs file");
  void* at = mmap(nullptr, kPoolSize, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd, 0);
  if (at == MAP_FAILED) fail("mmap");
  file->at = static_cast<char*>(at);
}

void drop_tmpfs_file(TmpfsFile* file) {
  munmap(file->at, kPoolSize);
  close(file->fd);
  unlink(file->path.c_str());
}

uint64_t carved_stride(uint64_t new_size) {
  constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;
  return ZIM_SHM_POOL_BLOCK_HEADER_SIZE + (new_size + kLine - 1) / kLine * kLine;
}

__attribute__((noinline)) void run_tmpfs_copy(const OldObjects& old, uint64_t new_size, char* to) {
  const uint64_t stride = carved_stride(new_size);
  for (size_t i = 0; i < old.bytes.size(); ++i) {
    std::memcpy(to + ZIM_SHM_POOL_BLOCK_HEADER_SIZE + i * stride, old.bytes[i], old.size);
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
  const bool again = std::strcmp(what, "unchanged_again") == 0;
  if (std::strcmp(what, "migrate") == 0 || std::strcmp(what, "unchanged") == 0 || again) {
    const bool changed = std::strcmp(what, "migrate") == 0;
    fill_and_adopt(changed ? "changed" : "unchanged", objects);
    // The process's first call reads the program's layout notes, once; a
    // server that made or attached anything before has read them.
    if (again && zim_shm_pool_migrate(nullptr, nullptr) != 0) fail("migrate");
    if (run_migrate(&moves) != 0) fail("migrate");
    if (changed) check_converted(moves, objects);
  } else if (std::strcmp(what, "calloc_memcpy") == 0) {
    fill_and_adopt("changed", objects);
    const OldObjects old = old_objects();
    std::vector<void*> copies(old.bytes.size());
    run_calloc_memcpy(old, new_object_size(), copies.data());
    for (void* copy : copies) std::free(copy);
  } else {
    std::fputs(
        "usage: zim_migration_bench --loop migrate|calloc_memcpy|unchanged|unchanged_again "
        "OBJECTS\n",
        stderr);
    return 2;
  }
  return zim_shm_pool_destroy() == 0 ? 0 : 1;
}

// This process's CPU time, and the user part of it (the rest is the kernel's:
// mostly page faults here).
struct Cpu {
  double total = 0, user = 0;
  Cpu operator-(const Cpu& o) const { return {total - o.total, user - o.user}; }
};

Cpu cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9,
          static_cast<double>(usage.ru_utime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec) * 1e-6};
}

// CPU time of one migration of `objects` objects. The old objects' pages are
// mapped into this process first, as the baseline's walk maps them.
Cpu timed_migrate(int64_t objects) {
  fill_and_adopt("changed", objects);
  old_objects();
  Moves moves;
  moves.to.reserve(static_cast<size_t>(objects));
  const Cpu start = cpu_now();
  if (run_migrate(&moves) != 0) fail("migrate");
  const Cpu spent = cpu_now() - start;
  check_converted(moves, objects);
  if (zim_shm_pool_destroy() != 0) fail("destroy");
  return spent;
}

// CPU time of copying the same objects into fresh pages of a tmpfs file.
Cpu timed_tmpfs_copy(int64_t objects) {
  fill_and_adopt("changed", objects);
  const OldObjects old = old_objects();
  const uint64_t new_size = new_object_size();
  TmpfsFile file;
  make_tmpfs_file(&file);
  const Cpu start = cpu_now();
  run_tmpfs_copy(old, new_size, file.at);
  const Cpu spent = cpu_now() - start;
  for (size_t i = 0; i < old.bytes.size(); ++i) {
    const char* copy = file.at + ZIM_SHM_POOL_BLOCK_HEADER_SIZE + i * carved_stride(new_size);
    if (std::memcmp(copy, old.bytes[i], old.size) != 0) fail("the tmpfs copy");
  }
  drop_tmpfs_file(&file);
  if (zim_shm_pool_destroy() != 0) fail("destroy");
  return spent;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// `repeats` pairs, in alternating order so that a drift of the machine's load
// weighs on both: each pair's ratio, then their median.
int cpu_ratio(int repeats, int64_t objects) {
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("load average before: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::vector<double> migrate, copy, ratio, migrate_user, copy_user;
  for (int r = 0; r < repeats; ++r) {
    const bool migrate_first = r % 2 == 0;
    const Cpu first = migrate_first ? timed_migrate(objects) : timed_tmpfs_copy(objects);
    const Cpu second = migrate_first ? timed_tmpfs_copy(objects) : timed_migrate(objects);
    const Cpu& m = migrate_first ? first : second;
    const Cpu& c = migrate_first ? second : first;
    migrate.push_back(m.total);
    copy.push_back(c.total);
    migrate_user.push_back(m.user);
    copy_user.push_back(c.user);
    ratio.push_back(m.total / c.total);
    std::printf(
        "pair %d: migrate %.2f ms (user %.2f), tmpfs copy %.2f ms (user %.2f), ratio %.2f\n", r + 1,
        m.total * 1e3, m.user * 1e3, c.total * 1e3, c.user * 1e3, ratio.back());
  }
  getloadavg(load, 3);
  std::printf("load average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::printf(
      "median of %d: migrate %.2f ms CPU (user %.2f), tmpfs copy %.2f ms CPU (user %.2f), "
      "ratio %.2f (lowest %.2f, highest %.2f)\n",
      repeats, median(migrate) * 1e3, median(migrate_user) * 1e3, median(copy) * 1e3,
      median(copy_user) * 1e3, median(ratio), *std::min_element(ratio.begin(), ratio.end()),
      *std::max_element(ratio.begin(), ratio.end()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--loop") == 0) return loop(argv[2], std::atoll(argv[3]));
  if (argc == 4 && std::strcmp(argv[1], "--cpu") == 0) {
    return cpu_ratio(std::max(1, std::atoi(argv[2])), std::atoll(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
