// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect destroy: a pool whose owner is gone loses its name, one
// whose owner lives keeps it, and nothing but a pool is removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "sim_test_util.hpp"
#include "zim/sim/shm_pool.h"

namespace {

using zim_sim_test::run_in_child;
using zim_sim_test::shm_exists;

std::pair<int, std::string> destroy(const std::string& name) {
  return zim_sim_test::command_output(std::string(ZIM_INSPECT_TOOL) + " destroy " + name);
}

// A pool made in a child that then ends as `end` says; whether it stays.
bool pool_left_by_child(const std::string& name, const std::function<int()>& end) {
  run_in_child([&] {
    if (zim_shm_pool_create(name.c_str(), ZIM_SHM_POOL_MIN_SIZE) != 0) return 1;
    return end();
  });
  return shm_exists(name);
}

TEST(Destroy, RemovesOnlyAPoolWhoseOwnerIsGone) {
  struct Case {
    const char* what;
    std::function<bool(const std::string&)> make;
    int status;
    bool removed;
    std::string says;
  };
  const std::string live_owner =
      "belongs to process " + std::to_string(getpid()) + ", which is alive";
  const Case cases[] = {
      {"handed over, its owner ended",
       [](const std::string& n) {
         return pool_left_by_child(n, [] { return zim_shm_pool_hand_over(); });
       },
       0, true, "destroyed the pool "},
      {"its creator killed",
       [](const std::string& n) { return pool_left_by_child(n, [] { return raise(SIGKILL); }); }, 0,
       true, "destroyed the pool "},
      {"its owner lives",
       [](const std::string& n) {
         return zim_shm_pool_create(n.c_str(), ZIM_SHM_POOL_MIN_SIZE) == 0;
       },
       1, false, live_owner},
      {"no pool of that name", [](const std::string&) { return true; }, 2, false,
       "no pool of that name"},
      {"not a pool",
       [](const std::string& n) { return zim_sim_test::put_segment(n, "not a pool", 10); }, 2,
       false, "not a complete pool of this version (left alone)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = zim_sim_test::unique_pool_name();
    ASSERT_TRUE(c.make(name));
    const bool existed = shm_exists(name);
    const auto [status, out] = destroy(name);
    EXPECT_EQ(status, c.status) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_EQ(shm_exists(name), existed && !c.removed);
    zim_shm_pool_detach();
    shm_unlink(name.c_str());
  }
}

}  // namespace
