// SPDX-License-Identifier: Apache-2.0
// A versioned pool of a test's own, and the process helpers of the pool's
// tests, for the snapshot and bracket tests of the type headers.
#ifndef ZIM_SIM_TESTS_SNAPSHOT_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_SNAPSHOT_TEST_UTIL_HPP

#include <sys/wait.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <string>
#include <vector>

#include "sim_test_util.hpp"

namespace zim_test {

using zim_sim_test::run_in_child_stderr;
using zim_sim_test::shared_zeroed;
using zim_sim_test::spawn;
using zim_sim_test::wait_exit;

// A pool mapped by this process for the test's length, versioned or not.
struct VersionedPool {
  explicit VersionedPool(bool versioned = true, uint64_t bytes = 4u << 20) {
    const zim_shm_pool_options_t options{versioned ? 1u : 0u, 0, 64, 64};
    ok_ = zim_shm_pool_create_with(name_.c_str(), bytes, &options) == 0;
  }
  ~VersionedPool() {
    if (ok_) zim_shm_pool_destroy();
  }
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }
  const std::string name_ = zim_sim_test::unique_pool_name();
  bool ok_ = false;
};

// Whether any of pids has not exited yet.
inline bool running(const std::vector<pid_t>& pids) {
  for (const pid_t pid : pids) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace zim_test

#endif  // ZIM_SIM_TESTS_SNAPSHOT_TEST_UTIL_HPP
