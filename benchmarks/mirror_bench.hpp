// SPDX-License-Identifier: Apache-2.0
// What the parts of zim_mirror_bench share: the memory its processes share,
// the source pool it writes, the watchers of the mirrors' pools and the
// processes it starts (redis-server, the relay, the mirrors).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zim_mirror_bench {

constexpr int kMirrors = 2;
constexpr uint64_t kMaxSamples = 4u << 20;  // latencies kept per mirror and step

// One mirror's watcher, seen by the writer: the highest write number its
// pool holds, and the change-to-mirror latencies of the step under way.
struct Watch {
  std::atomic<uint64_t> seen{0};
  std::atomic<uint64_t> samples{0};
  std::atomic<uint32_t> following{0};
  uint64_t latency_ns[kMaxSamples];
};

// An anonymous mapping made before the forks.
struct Shared {
  std::atomic<uint32_t> stop{0};
  std::atomic<uint32_t> recording{0};
  Watch watch[kMirrors];
  // The convergence checks: the writer raises `phase` after it set
  // phase_start_ns; each checker stores its seconds and then its `checked`.
  std::atomic<uint64_t> phase_start_ns{0};
  std::atomic<uint32_t> phase{0};
  std::atomic<uint32_t> checked[kMirrors];
  double converged_s[kMirrors];
};

// The changes of one convergence phase, the same in the writer and the
// checkers: (key, write number), `changes` of them from `first_number` on.
std::vector<std::pair<uint64_t, uint64_t>> phase_plan(uint32_t phase, uint64_t objects,
                                                      uint64_t changes, uint64_t first_number);

Shared* map_shared();
uint64_t now_ns();
[[noreturn]] void fail(const std::string& what);

// The source pool, owned by this process: olist objects of count 3, object i
// filed in the index under key i. Each write stores its time (CLOCK_MONOTONIC,
// taken right before write_end) in field_0[0] and its write number in
// field_0[1].
class Source {
 public:
  Source(const std::string& name, uint64_t objects);
  ~Source();
  // Object `which` rewritten as write number `number`.
  void write(uint64_t which, uint64_t number);
  uint64_t objects() const { return objects_.size(); }
  static uint64_t pool_bytes(uint64_t objects);

 private:
  std::string name_;
  std::vector<void*> objects_;
};

// In a child: follows the mirror pool `pool` through its feed, snapshots each
// changed object and publishes the write numbers and latencies in `watch`.
[[noreturn]] void watch_mirror(const std::string& pool, Shared& shared, Watch& watch);

// In a child: waits until the mirror pool `pool` holds, under each key of
// `expected`, at least that write number; false at the deadline.
bool wait_converged(const std::string& pool,
                    const std::vector<std::pair<uint64_t, uint64_t>>& expected,
                    uint64_t deadline_ns);

// A child process running `argv`, its output appended to `log`.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& log);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Signals it and waits for it to end; its exit status.
  int stop(int signal);
  // Its user and system time so far (/proc), in seconds.
  double cpu_seconds() const;

 private:
  pid_t pid_ = -1;
};

// How often `text` occurs in the file at `path`.
uint64_t occurrences(const std::string& path, const std::string& text);
// Waits until the file holds `text` at least `count` times: false after timeout_s.
bool wait_for_text(const std::string& path, const std::string& text, uint64_t count,
                   double timeout_s);

}  // namespace zim_mirror_bench

namespace zim_mirror_bench {

struct Options {
  std::string mode, relay, mirror, redis_conf, socket, folder;
  uint64_t objects = 4096, seconds = 3, changes = 10'000;
  std::vector<uint64_t> rates{25'000, 50'000, 100'000, 200'000};
};

// redis-server, the relay of the source pool and two mirrors, started in
// that order; stopped in reverse.
struct Rig {
  explicit Rig(const Options& options, const std::string& source);
  void start_redis();
  void start_mirror(int i);
  std::string local(int i) const { return source + ".m" + std::to_string(i); }
  std::string mirror_log(int i) const;

  const Options& options;
  std::string source;
  std::unique_ptr<Process> redis, relay, mirrors[kMirrors];
};

int run_rates(const Options& options);
int run_reconverge(const Options& options);

}  // namespace zim_mirror_bench
