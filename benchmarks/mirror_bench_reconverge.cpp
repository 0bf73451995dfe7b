// SPDX-License-Identifier: Apache-2.0
// zim_mirror_bench reconverge: how long the mirrors take to hold the source
// again after a mirror or redis-server was stopped while the source changed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <cstdio>

#include "mirror_bench.hpp"

namespace zim_mirror_bench {

namespace {

constexpr uint64_t kPhaseTimeoutNs = 300'000'000'000u;
// More changes than the relay's stream keeps by default: the mirror must load.
constexpr uint64_t kPastStreamBound = 150'000;

struct Phase {
  const char* what;
  uint64_t changes;
  bool both;  // both mirrors measured (redis-server restarted), else mirror 0
};

uint64_t first_number(uint32_t phase) { return uint64_t{phase} * 1'000'000'000u; }

std::vector<Phase> phases(const Options& o) {
  return {{"mirror 0 restarted, changes made while it was stopped", o.changes, false},
          {"mirror 0 restarted, changes past the stream's bound", kPastStreamBound, false},
          {"redis-server restarted empty, changes made meanwhile", o.changes, true}};
}

// A checker of mirror i, forked before the source pool is mapped.
[[noreturn]] void check_mirror(const Options& o, const Rig& rig, Shared& shared, int i) {
  const std::vector<Phase> all = phases(o);
  for (uint32_t p = 1; p <= all.size(); ++p) {
    while (shared.phase.load() < p) {
      if (shared.stop.load()) std::_Exit(0);
      usleep(1000);
    }
    if (i == 0 || all[p - 1].both) {
      const auto plan = phase_plan(p, o.objects, all[p - 1].changes, first_number(p));
      const bool held = wait_converged(rig.local(i), plan, now_ns() + kPhaseTimeoutNs);
      shared.converged_s[i] =
          held ? static_cast<double>(now_ns() - shared.phase_start_ns.load()) * 1e-9 : -1;
    }
    shared.checked[i].store(p);
  }
  std::_Exit(0);
}

void write_plan(Source& source, uint32_t p, uint64_t changes) {
  for (const auto& [key, number] : phase_plan(p, source.objects(), changes, first_number(p)))
    source.write(key, number);
}

double seconds_since(uint64_t start) { return static_cast<double>(now_ns() - start) * 1e-9; }

// One phase: the stop, the changes, the restart; then the checkers' figures.
void run_phase(Rig& rig, Source& source, Shared& shared, uint32_t p, const Phase& phase) {
  const uint64_t loads_before = occurrences(rig.mirror_log(0), "\"event\":\"load\",");
  shared.phase_start_ns.store(now_ns());
  const uint64_t start = now_ns();
  if (phase.both) {
    rig.redis->stop(SIGKILL);
    rig.start_redis();
    write_plan(source, p, phase.changes);
  } else {
    rig.mirrors[0]->stop(SIGTERM);
    write_plan(source, p, phase.changes);
    shared.phase_start_ns.store(now_ns());  // measured from the mirror's start
    rig.start_mirror(0);
  }
  const double written_s = seconds_since(start);
  shared.phase.store(p);
  for (int i = 0; i < kMirrors; ++i) {
    while (shared.checked[i].load() < p) usleep(1000);
  }
  std::printf("%s: %llu changes written in %.2f s;", phase.what,
              static_cast<unsigned long long>(phase.changes), written_s);
  for (int i = 0; i < (phase.both ? kMirrors : 1); ++i)
    std::printf(" mirror %d holds them after %.2f s;", i, shared.converged_s[i]);
  std::printf(" mirror 0 loads: %llu\n",
              static_cast<unsigned long long>(
                  occurrences(rig.mirror_log(0), "\"event\":\"load\",") - loads_before));
  std::fflush(stdout);
}

}  // namespace

int run_reconverge(const Options& options) {
  Shared* shared = map_shared();
  const std::string name = "/zim_mirror_bench." + std::to_string(getpid());
  Rig rig(options, name);
  pid_t checkers[kMirrors];
  for (int i = 0; i < kMirrors; ++i) {
    if ((checkers[i] = fork()) == 0) check_mirror(options, rig, *shared, i);
  }
  {
    uint64_t start = now_ns();
    Source source(name, options.objects);
    std::printf("%llu olist objects (count 3) made in %.2f s\n",
                static_cast<unsigned long long>(options.objects), seconds_since(start));
    rig.start_redis();
    start = now_ns();
    rig.relay = std::make_unique<Process>(
        std::vector<std::string>{options.relay, name, "--redis", options.socket, "--json"},
        options.folder + "/relay.log");
    for (int i = 0; i < kMirrors; ++i) rig.start_mirror(i);
    bool loaded = true;
    for (int i = 0; i < kMirrors; ++i)
      loaded = wait_for_text(rig.mirror_log(i), "\"loaded\"", 1, 600) && loaded;
    std::printf("first fill and load of both mirrors: %.2f s%s\n", seconds_since(start),
                loaded ? "" : " (not loaded: timed out)");
    std::fflush(stdout);
    const std::vector<Phase> all = phases(options);
    for (uint32_t p = 1; loaded && p <= all.size(); ++p)
      run_phase(rig, source, *shared, p, all[p - 1]);
    shared->stop.store(1);
    for (int i = kMirrors - 1; i >= 0; --i) rig.mirrors[i]->stop(SIGTERM);
    rig.relay->stop(SIGTERM);
    rig.redis->stop(SIGTERM);
  }
  for (const pid_t pid : checkers) waitpid(pid, nullptr, 0);
  for (int i = 0; i < kMirrors; ++i) zim_shm_pool_destroy_name(rig.local(i).c_str());
  return 0;
}

}  // namespace zim_mirror_bench
