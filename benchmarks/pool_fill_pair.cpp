// SPDX-License-Identifier: Apache-2.0
// zim_pool_fill_bench's two-process rounds: one process alone and two at
// once, each pinned to a core of its own, making objects in one versioned
// pool (olists in the first, brmacs in the second: different table ids),
// against the same processes writing disjoint fresh parts of one tmpfs file,
// the ceiling of what two processes that fault pages in can reach. The
// processes are forked, have mapped what they write, and wait for one start;
// wall time runs from the start until the last of them ended.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pool_fill.hpp"

namespace fill_bench {

namespace {

enum class Kind { kPool, kFile };

struct Pair {
  const Settings& settings;
  const Footprint* footprints[2];
  std::string name;
};

double children_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// What the j-th process does once started; its exit status.
int work(const Pair& pair, Kind kind, int j, char* file) {
  if (kind == Kind::kPool) return make_objects(pair.settings.pair_objects, j) ? 0 : 1;
  touch(file, *pair.footprints[j], static_cast<uint64_t>(j) * pair.settings.pool_size);
  return 0;
}

// Forks `processes` workers, each ready before the start: a pool's workers
// attach it by name.
Times run_once(const Pair& pair, Kind kind, int processes) {
  const uint64_t file_size = 2 * pair.settings.pool_size;
  char* file = nullptr;
  if (kind == Kind::kFile) {
    file = create_mapped_file(pair.name.c_str(), file_size);
    if (file == nullptr) fail("tmpfs file");
  } else {
    const zim_shm_pool_options_t versioned{1, 0, 1024, 16};
    if (zim_shm_pool_create_with(pair.name.c_str(), pair.settings.pool_size, &versioned) != 0) {
      fail("create_with");
    }
  }
  int ready[2], start[2];
  if (pipe(ready) != 0 || pipe(start) != 0) fail("pipe");
  std::vector<pid_t> pids;
  for (int j = 0; j < processes; ++j) {
    const pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid > 0) {
      pids.push_back(pid);
      continue;
    }
    pin_to_cpu(j);
    if (kind == Kind::kPool) {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(pair.name.c_str()) != 0) _exit(3);
    }
    char byte = 0;
    if (write(ready[1], &byte, 1) != 1 || read(start[0], &byte, 1) != 1) _exit(4);
    _exit(work(pair, kind, j, file));
  }
  char bytes[2] = {0, 0};
  for (int j = 0; j < processes; ++j) {
    if (read(ready[0], bytes, 1) != 1) fail("ready");
  }
  const double cpu = children_cpu_seconds(), wall = now_seconds();
  if (write(start[1], bytes, static_cast<size_t>(processes)) != processes) fail("start");
  for (pid_t pid : pids) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fail("a worker failed");
    }
  }
  const Times t{now_seconds() - wall, children_cpu_seconds() - cpu};
  for (int fd : {ready[0], ready[1], start[0], start[1]}) close(fd);
  if (kind == Kind::kFile) {
    munmap(file, file_size);
    shm_unlink(pair.name.c_str());
  } else {
    zim_shm_pool_destroy();
  }
  return t;
}

struct Figures {
  std::vector<double> scaling[2];  // two processes' throughput over one's: pool, file
  std::vector<double> single_ns[2], cpu_ns[2];
  // CPU time per object of two at once over one alone: what the two cost each
  // other (shared lines, kernel locks), less sensitive than wall time to
  // waits for a core on a loaded machine.
  std::vector<double> cpu_growth[2];
};

void print(const Settings& s, Figures* f) {
  std::vector<double> share;
  for (size_t i = 0; i < f->scaling[0].size(); ++i) {
    share.push_back(f->scaling[0][i] / f->scaling[1][i]);
  }
  std::sort(share.begin(), share.end());
  std::printf("two processes, %llu objects each, %d rounds\n",
              static_cast<unsigned long long>(s.pair_objects), s.rounds);
  const char* names[2] = {"pool fill", "tmpfs touch"};
  for (int k = 0; k < 2; ++k) {
    std::printf(
        "  %-12s one alone %7.1f ns/object wall; two at once: %5.2fx its throughput, %7.1f ns "
        "CPU/object (%5.3fx alone's)\n",
        names[k], median(f->single_ns[k]), median(f->scaling[k]), median(f->cpu_ns[k]),
        median(f->cpu_growth[k]));
  }
  std::printf("  pool's scaling / tmpfs's scaling  %5.3f (rounds %.3f to %.3f)\n", median(share),
              share.front(), share.back());
}

}  // namespace

void run_pairs(const Settings& settings, const Footprint& olist, const Footprint& brmac) {
  Pair pair{settings, {&olist, &brmac}, "/zim_pool_fill_pair." + std::to_string(getpid())};
  Figures f;
  const double n = static_cast<double>(settings.pair_objects);
  for (int round = 0; round < settings.rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      // Alternate which kind goes first in a round.
      const Kind kind = (k + round) % 2 == 0 ? Kind::kPool : Kind::kFile;
      const int at = kind == Kind::kPool ? 0 : 1;
      const Times one = run_once(pair, kind, 1);
      const Times two = run_once(pair, kind, 2);
      f.single_ns[at].push_back(one.wall / n * 1e9);
      f.scaling[at].push_back(one.wall * 2 / two.wall);
      f.cpu_ns[at].push_back(two.cpu / (2 * n) * 1e9);
      f.cpu_growth[at].push_back(two.cpu / (2 * one.cpu));
    }
  }
  print(settings, &f);
}

}  // namespace fill_bench
