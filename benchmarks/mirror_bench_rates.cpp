// SPDX-License-Identifier: Apache-2.0
// zim_mirror_bench rates: the writer paced at each rate in turn, the mirrors'
// lag and latencies per rate.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cstdio>

#include "mirror_bench.hpp"

namespace zim_mirror_bench {

namespace {

constexpr double kDrainBoundS = 1.0;

struct Step {
  double achieved = 0, drain_s = -1, max_lag_ms = 0;
  double cpu_us[2 + kMirrors] = {};  // relay, redis-server, mirrors: per change written
  uint64_t max_lag = 0;
  std::vector<uint64_t> latencies;
};

uint64_t least_seen(const Shared& shared) {
  uint64_t least = UINT64_MAX;
  for (const Watch& w : shared.watch) least = std::min(least, w.seen.load());
  return least;
}

// Writes at `rate` for `seconds`, numbering from *number on: each
// millisecond the writes due by then, then a sleep to the next one (a busy
// wait would take a core from the relay and the mirrors on a shared machine).
// Samples the lag every 256 writes.
Step write_paced(Source& source, Shared& shared, uint64_t rate, uint64_t seconds,
                 uint64_t* number) {
  Step step;
  const uint64_t writes = rate * seconds, start = now_ns();
  for (uint64_t i = 0; i < writes;) {
    const uint64_t due_by = (now_ns() - start) * rate / 1'000'000'000u + 1;
    for (; i < writes && i < due_by; ++i) {
      source.write(i % source.objects(), ++*number);
      if (i % 256 == 0) step.max_lag = std::max(step.max_lag, *number - least_seen(shared));
    }
    const uint64_t next_tick = start + ((now_ns() - start) / 1'000'000u + 1) * 1'000'000u;
    const timespec at{static_cast<time_t>(next_tick / 1'000'000'000u),
                      static_cast<long>(next_tick % 1'000'000'000u)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
  }
  const uint64_t end = now_ns();
  step.achieved = static_cast<double>(writes) * 1e9 / static_cast<double>(end - start);
  step.max_lag_ms = static_cast<double>(step.max_lag) * 1e3 / static_cast<double>(rate);
  while (least_seen(shared) < *number && now_ns() - end < 10'000'000'000u) usleep(200);
  if (least_seen(shared) >= *number) step.drain_s = static_cast<double>(now_ns() - end) * 1e-9;
  return step;
}

double percentile_ms(const std::vector<uint64_t>& sorted, double p) {
  if (sorted.empty()) return -1;
  const size_t at =
      std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[at]) * 1e-6;
}

void take_latencies(Shared& shared, Step& step) {
  shared.recording.store(0);
  for (Watch& w : shared.watch) {
    const uint64_t n = w.samples.load(std::memory_order_acquire);
    step.latencies.insert(step.latencies.end(), w.latency_ns, w.latency_ns + n);
    w.samples.store(0);
  }
  std::sort(step.latencies.begin(), step.latencies.end());
}

std::vector<const Process*> measured(const Rig& rig) {
  std::vector<const Process*> all{rig.relay.get(), rig.redis.get()};
  for (const auto& m : rig.mirrors) all.push_back(m.get());
  return all;
}

void print_step(uint64_t rate, const Step& s) {
  const bool kept_up = s.drain_s >= 0 && s.drain_s <= kDrainBoundS;
  std::printf("%9llu %10.0f %9llu %8.1f %9.1f %8.2f %8.2f %8.2f %9zu  %s\n",
              static_cast<unsigned long long>(rate), s.achieved,
              static_cast<unsigned long long>(s.max_lag), s.max_lag_ms,
              s.drain_s < 0 ? -1.0 : s.drain_s * 1e3, percentile_ms(s.latencies, 0.5),
              percentile_ms(s.latencies, 0.99),
              s.latencies.empty() ? -1.0 : static_cast<double>(s.latencies.back()) * 1e-6,
              s.latencies.size(), kept_up ? "yes" : "no");
  std::printf("%9s cpu us per change: relay %.1f, redis-server %.1f, mirrors %.1f %.1f\n", "",
              s.cpu_us[0], s.cpu_us[1], s.cpu_us[2], s.cpu_us[3]);
  std::fflush(stdout);
}

// A write a mirror's load applied before its reader followed the pool is
// never seen: writes again each second until both readers see one (false
// after two minutes).
// Once both mirrors loaded the objects, a write that both readers see. A
// reader sees the first objects a load makes before the load ends, and the
// rest would then count as changes of the first step with their making's
// stamps: a stall of a few hundred milliseconds at the start of a run.
bool first_write_seen(const Rig& rig, Source& source, const Shared& shared, uint64_t* number) {
  for (int i = 0; i < kMirrors; ++i) {
    if (!wait_for_text(rig.mirror_log(i), "\"loaded\"", 1, 120)) return false;
  }
  const uint64_t deadline = now_ns() + 120'000'000'000u;
  for (uint64_t next_write = 0; *number == 0 || least_seen(shared) < *number;) {
    if (now_ns() > deadline) return false;
    if (now_ns() >= next_write) {
      source.write(1, ++*number);
      next_write = now_ns() + 1'000'000'000u;
    }
    usleep(10'000);
  }
  return true;
}

}  // namespace

int run_rates(const Options& options) {
  Shared* shared = map_shared();
  const std::string name = "/zim_mirror_bench." + std::to_string(getpid());
  Rig rig(options, name);
  // The watchers are forked before this process maps the source pool.
  pid_t watchers[kMirrors];
  for (int i = 0; i < kMirrors; ++i) {
    if ((watchers[i] = fork()) == 0) watch_mirror(rig.local(i), *shared, shared->watch[i]);
  }
  int status = 1;
  {
    Source source(name, options.objects);
    rig.start_redis();
    rig.relay = std::make_unique<Process>(
        std::vector<std::string>{options.relay, name, "--redis", options.socket, "--json"},
        options.folder + "/relay.log");
    for (int i = 0; i < kMirrors; ++i) rig.start_mirror(i);
    uint64_t number = 0;
    if (first_write_seen(rig, source, *shared, &number)) {
      std::printf("%llu olist objects (count 3), %d mirrors, %llu s per rate\n",
                  static_cast<unsigned long long>(options.objects), kMirrors,
                  static_cast<unsigned long long>(options.seconds));
      std::printf("%9s %10s %9s %8s %9s %8s %8s %8s %9s  %s\n", "rate/s", "written/s", "max lag",
                  "lag ms", "drain ms", "p50 ms", "p99 ms", "max ms", "samples", "keeps up");
      status = 0;
      for (const uint64_t rate : options.rates) {
        shared->recording.store(1);
        std::vector<double> cpu_before;
        for (const Process* p : measured(rig)) cpu_before.push_back(p->cpu_seconds());
        Step step = write_paced(source, *shared, rate, options.seconds, &number);
        for (size_t i = 0; i < cpu_before.size(); ++i)
          step.cpu_us[i] = (measured(rig)[i]->cpu_seconds() - cpu_before[i]) * 1e6 /
                           static_cast<double>(rate * options.seconds);
        take_latencies(*shared, step);
        print_step(rate, step);
      }
    } else {
      std::fprintf(stderr, "zim_mirror_bench: the mirrors never showed the first write\n");
    }
    shared->stop.store(1);
    for (int i = kMirrors - 1; i >= 0; --i) rig.mirrors[i]->stop(SIGTERM);
    rig.relay->stop(SIGTERM);
    rig.redis->stop(SIGTERM);
  }
  for (const pid_t pid : watchers) waitpid(pid, nullptr, 0);
  for (int i = 0; i < kMirrors; ++i) zim_shm_pool_destroy_name(rig.local(i).c_str());
  return status;
}

}  // namespace zim_mirror_bench
