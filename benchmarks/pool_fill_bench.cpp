// SPDX-License-Identifier: Apache-2.0
// Filling a versioned pool (versions and the feed on) against the speed of
// its pages, wall and CPU time in the same run, rounds interleaved:
//  - one process, pinned: from zim_shm_pool_create_with to the last of N
//    olist objects (count 3) made by their server constructor, each ended by
//    its first write_end; against creating a tmpfs file of the same size,
//    mapping it and writing the same bytes (each object's span, in order, and
//    one byte of every other page the pool holds);
//  - two processes at once, one making olists and one brmacs in one pool,
//    against two processes writing disjoint fresh parts of one tmpfs file:
//    each pair's throughput as a ratio to one process alone
//    (pool_fill_pair.cpp).
//   zim_pool_fill_bench [--objects N] [--pair-objects N] [--rounds R] [--single|--pair]
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pool_fill.hpp"

namespace {

using fill_bench::Footprint;
using fill_bench::Times;

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

Times time_pool(const std::string& name, const fill_bench::Settings& s, long* faults) {
  const long faults_before = minor_faults();
  const double wall = fill_bench::now_seconds(), cpu = fill_bench::cpu_seconds();
  if (!fill_bench::fill_pool(name.c_str(), s.pool_size, s.objects, 0, nullptr)) {
    fill_bench::fail("filling the pool");
  }
  const Times t{fill_bench::now_seconds() - wall, fill_bench::cpu_seconds() - cpu};
  *faults = minor_faults() - faults_before;
  zim_shm_pool_destroy();
  return t;
}

Times time_file(const std::string& name, const fill_bench::Settings& s,
                const Footprint& footprint) {
  const double wall = fill_bench::now_seconds(), cpu = fill_bench::cpu_seconds();
  char* base = fill_bench::create_mapped_file(name.c_str(), s.pool_size);
  if (base == nullptr) fill_bench::fail("tmpfs file");
  fill_bench::touch(base, footprint, 0);
  const Times t{fill_bench::now_seconds() - wall, fill_bench::cpu_seconds() - cpu};
  munmap(base, s.pool_size);
  shm_unlink(name.c_str());
  return t;
}

void run_single(const fill_bench::Settings& s, const Footprint& footprint) {
  const std::string pool = "/zim_pool_fill_bench." + std::to_string(getpid());
  const std::string file = pool + ".file";
  std::vector<double> pool_wall, pool_cpu, file_wall, file_cpu, wall_ratio, cpu_ratio;
  long faults = 0;
  for (int round = 0; round < s.rounds; ++round) {
    Times p, f;
    if (round % 2 == 0) {
      p = time_pool(pool, s, &faults);
      f = time_file(file, s, footprint);
    } else {
      f = time_file(file, s, footprint);
      p = time_pool(pool, s, &faults);
    }
    const double n = static_cast<double>(s.objects);
    pool_wall.push_back(p.wall / n * 1e9);
    pool_cpu.push_back(p.cpu / n * 1e9);
    file_wall.push_back(f.wall / n * 1e9);
    file_cpu.push_back(f.cpu / n * 1e9);
    wall_ratio.push_back(p.wall / f.wall);
    cpu_ratio.push_back(p.cpu / f.cpu);
  }
  std::printf("one process, %llu olists, %d rounds, pool of %llu MiB (%llu minor faults)\n",
              static_cast<unsigned long long>(s.objects), s.rounds,
              static_cast<unsigned long long>(s.pool_size >> 20),
              static_cast<unsigned long long>(faults));
  std::printf("  pool fill     %7.1f ns/object wall  %7.1f ns/object CPU\n",
              fill_bench::median(pool_wall), fill_bench::median(pool_cpu));
  std::printf("  tmpfs touch   %7.1f ns/object wall  %7.1f ns/object CPU\n",
              fill_bench::median(file_wall), fill_bench::median(file_cpu));
  std::sort(wall_ratio.begin(), wall_ratio.end());
  std::printf("  ratio         %7.3f wall (rounds %.3f to %.3f)  %7.3f CPU\n",
              fill_bench::median(wall_ratio), wall_ratio.front(), wall_ratio.back(),
              fill_bench::median(cpu_ratio));
}

Footprint footprint_of(const fill_bench::Settings& s, uint64_t objects, int type) {
  const std::string name = "/zim_pool_fill_bench.map." + std::to_string(getpid());
  Footprint footprint;
  if (!fill_bench::fill_pool(name.c_str(), s.pool_size, objects, type, &footprint)) {
    fill_bench::fail("mapping a fill");
  }
  zim_shm_pool_destroy();
  return footprint;
}

}  // namespace

int main(int argc, char** argv) {
  fill_bench::Settings s;
  bool single = true, pair = true;
  for (int i = 1; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (std::strcmp(argv[i], "--objects") == 0 && more) {
      s.objects = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--pair-objects") == 0 && more) {
      s.pair_objects = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && more) {
      s.rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--single") == 0) {
      pair = false;
    } else if (std::strcmp(argv[i], "--pair") == 0) {
      single = false;
    } else {
      std::fprintf(stderr,
                   "usage: zim_pool_fill_bench [--objects N] [--pair-objects N] [--rounds R] "
                   "[--single|--pair]\n");
      return 2;
    }
  }
  if (s.objects == 0 || s.pair_objects == 0 || s.rounds <= 0) return 2;
  std::printf("load average before: %s\n", fill_bench::load_average().c_str());
  if (single) {
    fill_bench::pin_to_cpu(1);
    run_single(s, footprint_of(s, s.objects, 0));
  }
  if (pair) {
    fill_bench::run_pairs(s, footprint_of(s, s.pair_objects, 0),
                          footprint_of(s, s.pair_objects, 1));
  }
  std::printf("load average after: %s\n", fill_bench::load_average().c_str());
  return 0;
}
