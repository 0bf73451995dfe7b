// SPDX-License-Identifier: Apache-2.0
// A writer paced at a steady rate of changes, each through
// zim_shm_pool_write_begin/_end, and one follower in another process that
// reads every entry of the feed through zim_shm_pool_wait and
// zim_shm_pool_changes, waiting (zim_shm_pool_wait) whenever it has caught up.
// Prints the rate reached, whether the follower read every change (no lap, no
// loss) and its wake-up latency: CLOCK_MONOTONIC taken by the writer right
// before the write_end that publishes a change, to CLOCK_MONOTONIC taken by
// the follower right after the zim_shm_pool_changes call that returned it.
//   zim_pool_follow_bench [--rate CHANGES_PER_SECOND] [--seconds S] [--objects N]
//                         [--spin-us US]
// With --spin-us the follower, once caught up, looks again for up to US
// microseconds before it sleeps: a comparison that shows what the futex
// round trips cost, not how a follower is meant to wait.
// Exit status 0 when the follower read every change, else 1 (the latencies
// are reported either way; they decide nothing).
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct Options {
  uint64_t rate = 1'200'000;
  uint64_t seconds = 10;
  uint64_t objects = 64;
  uint64_t spin_us = 0;
};

// What the two processes share besides the pool: an anonymous mapping made
// before the fork, holding both sides' stamps of every change.
struct Control {
  std::atomic<uint32_t> pool_ready, following, writer_done;
  std::atomic<uint64_t> first_sequence;  // the follower's cursor at its start
  std::atomic<uint64_t> read, lost, laps, waits, sleeps;
  std::atomic<uint64_t> changes;  // how many the writer made
};

struct Shared {
  Control* control;
  uint64_t* published;  // per change: the writer's time before its write_end
  uint64_t* received;   // per change: the follower's time after reading it
  uint64_t capacity;
};

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rate") == 0) {
      options.rate = value;
    } else if (std::strcmp(argv[i], "--seconds") == 0) {
      options.seconds = value;
    } else if (std::strcmp(argv[i], "--objects") == 0) {
      options.objects = value;
    } else if (std::strcmp(argv[i], "--spin-us") == 0) {
      options.spin_us = value;
    } else {
      argc = -1;
    }
  }
  if (argc < 0 || argc % 2 == 0 || options.rate == 0 || options.seconds == 0 ||
      options.objects == 0) {
    std::fputs(
        "usage: zim_pool_follow_bench [--rate N] [--seconds S] [--objects N] [--spin-us US]\n",
        stderr);
    std::exit(2);
  }
  return options;
}

Shared map_shared(uint64_t changes) {
  const uint64_t bytes = sizeof(Control) + 2 * changes * sizeof(uint64_t);
  void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) fail("mmap");
  auto* control = new (map) Control{};
  auto* stamps = reinterpret_cast<uint64_t*>(static_cast<char*>(map) + sizeof(Control));
  return {control, stamps, stamps + changes, changes};
}

// Waits at most 10 s for the other process to raise flag.
void wait_for(const std::atomic<uint32_t>& flag) {
  for (int ms = 0; flag.load(std::memory_order_acquire) == 0; ++ms) {
    if (ms == 10'000) fail("the other process did not start");
    usleep(1000);
  }
}

// The follower's voluntary context switches so far: each sleep in the
// futex is one (zim_shm_pool_wait looks again before it sleeps, so its calls
// and its sleeps differ).
uint64_t voluntary_switches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_nvcsw);
}

// The follower: reads every change until the writer is done and nothing is
// left, stamping each as it gets it.
int follow(const std::string& name, const Shared& shared, uint64_t spin_us) {
  Control& control = *shared.control;
  wait_for(control.pool_ready);
  zim_shm_pool_cursor_t cursor{};
  if (zim_shm_pool_attach(name.c_str()) != 0 || zim_shm_pool_follow(&cursor) != 0) return 1;
  const uint64_t first = cursor.next;
  control.first_sequence.store(first, std::memory_order_relaxed);
  control.following.store(1, std::memory_order_release);
  zim_shm_pool_change_t batch[256];
  uint64_t read = 0, lost = 0, laps = 0, waits = 0, idle_since = 0;
  const uint64_t switches_before = voluntary_switches();
  for (;;) {
    uint64_t lapped = 0;
    const int n = zim_shm_pool_changes(&cursor, batch, 256, &lapped);
    const uint64_t at = now_ns();
    if (n < 0) return 1;
    laps += lapped != 0;
    for (int i = 0; i < n; ++i) {
      const uint64_t index = batch[i].sequence - first;
      if (batch[i].kind == ZIM_SHM_POOL_CHANGE_LOST || index >= shared.capacity) {
        ++lost;
        continue;
      }
      shared.received[index] = at;
      ++read;
    }
    if (n > 0) {
      idle_since = 0;
      continue;
    }
    if (idle_since == 0) idle_since = at;
    if (at - idle_since < spin_us * 1000) continue;
    idle_since = 0;
    const bool done = control.writer_done.load(std::memory_order_acquire) != 0;
    if (done && cursor.next - first >= control.changes.load(std::memory_order_relaxed)) break;
    ++waits;
    zim_shm_pool_wait(&cursor, 100'000);
  }
  control.read.store(read);
  control.lost.store(lost);
  control.laps.store(laps);
  control.waits.store(waits);
  control.sleeps.store(voluntary_switches() - switches_before);
  zim_shm_pool_detach();
  return 0;
}

// The writer: object i % objects changes at start + i / rate, busy-waiting
// for its time (a sleep would overshoot by more than the period); a writer
// that fell behind catches up without waiting. Returns the time it took.
uint64_t write_paced(const Options& options, const std::vector<void*>& objects,
                     const Shared& shared, uint64_t* worst_lag_ns) {
  const uint64_t first = shared.control->first_sequence.load(std::memory_order_relaxed);
  const uint64_t start = now_ns();
  *worst_lag_ns = 0;
  for (uint64_t i = 0; i < shared.capacity; ++i) {
    const uint64_t due = start + static_cast<uint64_t>(static_cast<unsigned __int128>(i) *
                                                       1'000'000'000u / options.rate);
    uint64_t t = now_ns();
    while (t < due) {
      __builtin_ia32_pause();
      t = now_ns();
    }
    *worst_lag_ns = std::max(*worst_lag_ns, t - due);
    auto* obj = static_cast<uint64_t*>(objects[i % objects.size()]);
    if (zim_shm_pool_write_begin(obj) != 0) fail("write_begin");
    obj[0] = i;  // the change itself
    const uint64_t published = now_ns();
    if (zim_shm_pool_write_end(obj) != 0) fail("write_end");
    const uint64_t sequence = zim_shm_pool_version_of(obj) / 2;
    if (sequence - first < shared.capacity) shared.published[sequence - first] = published;
  }
  return now_ns() - start;
}

std::vector<void*> make_objects(uint64_t count) {
  std::vector<void*> objects;
  for (uint64_t i = 0; i < count; ++i) {
    void* obj = zim_shm_pool_calloc_untyped(64);
    if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) fail("object");
    objects.push_back(obj);
  }
  return objects;
}

double percentile_us(std::vector<uint64_t>& sorted, double p) {
  const auto at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1));
  return static_cast<double>(sorted[at]) / 1000.0;
}

void report(const Options& options, const Shared& shared, uint64_t took_ns, uint64_t lag_ns) {
  const Control& control = *shared.control;
  std::vector<uint64_t> latencies;
  latencies.reserve(shared.capacity);
  for (uint64_t i = 0; i < shared.capacity; ++i) {
    if (shared.published[i] != 0 && shared.received[i] != 0) {
      // A batch is stamped once, after the call: never before its publish.
      latencies.push_back(shared.received[i] - std::min(shared.published[i], shared.received[i]));
    }
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf(
      "changes %llu over %.3f s (%.0f/s, asked %llu/s), objects %llu, worst lag behind "
      "schedule %.1f us\n",
      static_cast<unsigned long long>(shared.capacity), static_cast<double>(took_ns) / 1e9,
      static_cast<double>(shared.capacity) * 1e9 / static_cast<double>(took_ns),
      static_cast<unsigned long long>(options.rate),
      static_cast<unsigned long long>(options.objects), static_cast<double>(lag_ns) / 1e3);
  std::printf("follower read %llu, lost %llu, laps %llu, waited %llu times, slept %llu times\n",
              static_cast<unsigned long long>(control.read.load()),
              static_cast<unsigned long long>(control.lost.load()),
              static_cast<unsigned long long>(control.laps.load()),
              static_cast<unsigned long long>(control.waits.load()),
              static_cast<unsigned long long>(control.sleeps.load()));
  if (latencies.empty()) return;
  std::printf("latency us: p50 %.1f  p90 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n",
              percentile_us(latencies, 0.5), percentile_us(latencies, 0.9),
              percentile_us(latencies, 0.99), percentile_us(latencies, 0.999),
              static_cast<double>(latencies.back()) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const Shared shared = map_shared(options.rate * options.seconds);
  const std::string name = "/zim_pool_follow_bench." + std::to_string(getpid());
  const pid_t follower = fork();
  if (follower < 0) fail("fork");
  if (follower == 0) {
    // A session of its own, as a client started elsewhere has: where the
    // scheduler groups tasks by session, the writer's busy-wait would
    // otherwise take the follower's turns.
    setsid();
    _exit(follow(name, shared, options.spin_us));
  }
  // The largest feed: a ring of 2^20 changes, 0.87 s at 1.2 million a second.
  const zim_shm_pool_options_t pool{1, 0, ZIM_SHM_POOL_MAX_FEED_CAPACITY, 16};
  if (zim_shm_pool_create_with(name.c_str(), 128u << 20, &pool) != 0) fail("create_with");
  const std::vector<void*> objects = make_objects(options.objects);
  shared.control->pool_ready.store(1, std::memory_order_release);
  wait_for(shared.control->following);
  uint64_t lag_ns = 0;
  const uint64_t took = write_paced(options, objects, shared, &lag_ns);
  shared.control->changes.store(shared.capacity, std::memory_order_relaxed);
  shared.control->writer_done.store(1, std::memory_order_release);
  int status = 0;
  if (waitpid(follower, &status, 0) != follower || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fputs("the follower failed\n", stderr);
    return 1;
  }
  report(options, shared, took, lag_ns);
  zim_shm_pool_detach();
  const Control& control = *shared.control;
  return control.read == shared.capacity && control.lost == 0 && control.laps == 0 ? 0 : 1;
}
