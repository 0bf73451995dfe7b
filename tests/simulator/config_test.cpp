// SPDX-License-Identifier: Apache-2.0
// The platform's settings: configuration from the environment, read once per
// process, so each case runs in a fresh one; copy hooks per table id, off
// until set and enabled, misuse stopping before a null hook is called.

#include <gtest/gtest.h>
#include <zim/sim/config.h>
#include <zim/sim/shm_pool.h>
#include <zim/sim/table_props.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

using Env = std::vector<std::pair<const char*, const char*>>;

// Leaves only env's variables set, so that what the test runs in cannot leak in.
void apply(const Env& env) {
  for (const char* var : {"ZIM_MAX_NUM_NPUS", "ZIM_NPD_SIZE", "ZIM_NPD_SIZES", "ZIM_SHM_POOL_NAME",
                          "ZIM_SHM_POOL_SIZE"}) {
    unsetenv(var);
  }
  for (const auto& [var, value] : env) setenv(var, value, 1);
}

// Reads every variable.
void read_all_config() {
  hulcon_config_get_max_num_npus();
  qor_npd_get_table_size(0);
  zim_shm_table_pool_calloc(1, 16);  // an id without a layout note here
}

// The default pool is made by the first allocation, and removed at exit.
TEST(ConfigTest, ValuesAreReadOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto npd = [](uint32_t id) -> std::function<uint32_t()> {
    return [id] { return qor_npd_get_table_size(id); };
  };
  // The default pool's size, 0 unless it is named `name` (null: after this process).
  const auto pool_size = [](const char* name) -> std::function<uint32_t()> {
    return [name] {
      const std::string want = name ? name : "/zim_table_pool." + std::to_string(getpid());
      const bool named = zim_shm_table_pool_calloc(1, 16) != nullptr && shm_exists(want) &&
                         want == zim_shm_pool_name();
      return named ? uint32_t(zim_shm_pool_size()) : 0u;
    };
  };
  const std::string pool = unique_pool_name();
  const Env high = {{"ZIM_NPD_SIZES", "65535=4,343=2,0=1,1000=3"}};  // any order
  const struct {
    Env env;
    std::function<uint32_t()> read;
    uint32_t want;
  } cases[] = {
      {{}, hulcon_config_get_max_num_npus, ZIM_SIM_DEFAULT_MAX_NUM_NPUS},
      {{{"ZIM_MAX_NUM_NPUS", "0"}}, hulcon_config_get_max_num_npus, 0},
      {{{"ZIM_MAX_NUM_NPUS", "4096"}}, hulcon_config_get_max_num_npus, 4096},
      {{}, npd(0), ZIM_SIM_DEFAULT_NPD_SIZE},
      {{{"ZIM_NPD_SIZE", "0"}}, npd(5), 0},
      {{{"ZIM_NPD_SIZE", "4294967295"}}, npd(7), 4294967295},
      {{{"ZIM_NPD_SIZES", "40=0,62=17"}}, npd(40), 0},
      {{{"ZIM_NPD_SIZES", "40=0,62=17"}}, npd(62), 17},
      {{{"ZIM_NPD_SIZES", "40=0,62=17"}}, npd(41), ZIM_SIM_DEFAULT_NPD_SIZE},
      {{{"ZIM_NPD_SIZE", "3"}, {"ZIM_NPD_SIZES", "342=9"}}, npd(342), 9},
      {{{"ZIM_NPD_SIZE", "3"}, {"ZIM_NPD_SIZES", "342=9"}}, npd(341), 3},
      {high, npd(0), 1},
      {high, npd(343), 2},
      {high, npd(1000), 3},
      {high, npd(1001), ZIM_SIM_DEFAULT_NPD_SIZE},
      {high, npd(65535), 4},
      {high, npd(65534), ZIM_SIM_DEFAULT_NPD_SIZE},
      {{}, zim_sim_npd_default_size, ZIM_SIM_DEFAULT_NPD_SIZE},
      {{{"ZIM_NPD_SIZE", "3"}, {"ZIM_NPD_SIZES", "7=9"}}, zim_sim_npd_default_size, 3},
      {{{"ZIM_SHM_POOL_NAME", pool.c_str()}, {"ZIM_SHM_POOL_SIZE", "1048576"}},
       pool_size(pool.c_str()),
       1048576},
      {{}, pool_size(nullptr), ZIM_SHM_POOL_DEFAULT_SIZE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env.empty() ? "(unset)" : c.env.back().second);
    EXPECT_EXIT(
        {
          apply(c.env);
          const uint32_t first = c.read();
          for (const auto& e : c.env) setenv(e.first, "1234", 1);  // valid or not, must be ignored
          const uint32_t again = c.read();
          std::fprintf(stderr, "got %u then %u\n", first, again);
          std::exit(first == c.want && again == c.want ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
  EXPECT_FALSE(shm_exists(pool));
}

// The entries come back ascending by id, cut at the caller's cap, in memory for
// their pages only (a dense table of every id would take 256 KiB).
TEST(ConfigTest, EntriesAreListedAscending) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "0 entries: cap 2: 0=0 0=0 0=0 light"},
      {"65535=4,343=2,0=1,1000=3",
       "4 entries: 0=1 343=2 1000=3 65535=4 cap 2: 0=1 343=2 0=0 light"},
  };
  const auto text = [](const zim_sim_npd_entry_t* e, size_t n) {
    std::string t;
    for (size_t i = 0; i < n; ++i)
      t += std::to_string(e[i].table_id) + "=" + std::to_string(e[i].size) + " ";
    return t;
  };
  for (const auto& [sizes, want] : cases) {
    EXPECT_EXIT(
        {
          apply(sizes ? Env{{"ZIM_NPD_SIZES", sizes}} : Env{});
          const uint64_t heap = heap_bytes();
          const size_t n = zim_sim_npd_entries(nullptr, 0);
          // A size for every id would take 256 KiB; sanitizer builds pad the globals.
          const bool light = heap_bytes() - heap < 16384 && writable_bytes("libparn.so") < 131072;
          std::vector<zim_sim_npd_entry_t> all(n);
          zim_sim_npd_entry_t cut[3] = {};
          zim_sim_npd_entries(all.data(), n);
          zim_sim_npd_entries(cut, 2);
          std::fprintf(stderr, "%zu entries: %scap 2: %s%s\n", n, text(all.data(), n).c_str(),
                       text(cut, 3).c_str(), light ? "light" : "heavy");
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), want);
  }
}

// A value that is no plain decimal in range stops the process, naming it.
TEST(ConfigTest, BadValuesStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"ZIM_MAX_NUM_NPUS",
       {"", "0012", "00", "4097", "-1", "+3", " 3", "3 ", "0x10", "18446744073709551616"}},
      {"ZIM_NPD_SIZE", {"", "08", "4294967296", "16B"}},
      {"ZIM_NPD_SIZES",
       {"", "040=1", "40=01", "40", "40=", "=5", "65536=1", "40=1,40=2", "40=1,", ",40=1",
        "40=1;62=2", "40=-1", "40=1,,62=2", "40=4294967296"}},
      {"ZIM_SHM_POOL_SIZE", {"", "20479", "01048576"}},
      {"ZIM_SHM_POOL_NAME", {"", "/.."}},
  };
  for (const auto& [var, values] : cases) {
    for (const std::string& value : values) {
      SCOPED_TRACE(std::string(var) + "=" + value);
      EXPECT_EXIT((apply({{var, value.c_str()}}), read_all_config(), std::exit(0)),
                  ::testing::ExitedWithCode(ZIM_SIM_CONFIG_EXIT_STATUS),
                  std::string(var) + "=\"" + literal(value) + "\"");
    }
  }
  // No configuration covers an id past the largest.
  EXPECT_EXIT(qor_npd_get_table_size(65536), ::testing::KilledBySignal(SIGABRT), "table id 65536");
}

// Echoed values and pool names are escaped and cut, so they cannot drive or flood a terminal.
TEST(ConfigTest, MessagesEscapeWhatTheyEcho) {
  const std::string pool = unique_pool_name() + "\x1b]0;x\x07";
  ASSERT_TRUE(put_segment(pool, "", 0));  // another program's
  const std::string long_value(1000, 'A');
  const struct {
    const char* var;
    std::string value;
    std::string want;  // in the output
  } cases[] = {
      {"ZIM_MAX_NUM_NPUS", "8\x1b[7m", "\"8\\x1b[7m\""},
      {"ZIM_NPD_SIZES", "40=1\x07,62=2", "bad entry \"40=1\\x07\""},
      {"ZIM_NPD_SIZE", long_value, "\"" + std::string(160, 'A') + "...\""},
      {"ZIM_SHM_POOL_SIZE", "\xff\xfe", "\"\\xff\\xfe\""},
      {"ZIM_SHM_POOL_NAME", pool, pool.substr(0, pool.size() - 6) + "\\x1b]0;x\\x07\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.var);
    const std::string text = run_in_child_stderr([&] {
                               zim_shm_pool_detach();  // one inherited from this process
                               apply({{c.var, c.value.c_str()}});
                               return read_all_config(), 0;
                             }).second;
    EXPECT_NE(text.find(c.want), std::string::npos) << text;
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char b) {
      return b == '\n' || (b >= 0x20 && b < 0x7f);
    })) << text;
    EXPECT_LT(text.size(), 600u) << "cut short";
  }
  shm_unlink(pool.c_str());
}

int shm_hook(void*, zim_bool_t) { return 0; }
int src_hook(void*, void*) { return 0; }

bool off(uint32_t id) {
  const zim_table_props_t* props = zim_srv_table_props_get(id);
  return props->copy_hooks_on == 0 && !props->copy_shm_hook && !props->copy_src_hook;
}

// Records of ids of any catalogue, taken only for the ids whose hooks are set
// (records of every id would take 40 MiB).
TEST(TablePropsTest, HooksAreOffUntilSetAndEnabledPerTableId) {
  for (uint32_t id = 0; id <= 65535; ++id) ASSERT_TRUE(off(id)) << id;
  const uint64_t heap = heap_bytes();
  for (const uint32_t id : {0u, 342u, 343u, 1000u, 65535u}) {
    zim_table_props_set_copy_hooks(id, shm_hook, src_hook);
    EXPECT_EQ(zim_srv_table_props_get(id)->copy_hooks_on, 0) << "setting must not enable " << id;
    zim_table_props_enable_copy_hooks(id, 7);
    const zim_table_props_t* props = zim_srv_table_props_get(id);
    EXPECT_TRUE(props->copy_hooks_on == 1 && props->copy_shm_hook == &shm_hook &&
                props->copy_src_hook == &src_hook)
        << id;
    EXPECT_TRUE(off(id == 65535 ? id - 1 : id + 1)) << "a neighbour of " << id;
  }
  EXPECT_LT(heap_bytes() - heap, 65536u);
  // A record for every id would take 37 MiB; sanitizer builds pad the globals.
  EXPECT_LT(writable_bytes("libzim_table_props.so"), 1u << 20);
  for (const uint32_t id : {0u, 342u, 343u, 1000u, 65535u}) {
    zim_table_props_enable_copy_hooks(id, 0);
    EXPECT_EQ(zim_srv_table_props_get(id)->copy_hooks_on, 0) << id;
    zim_table_props_set_copy_hooks(id, nullptr, nullptr);
    EXPECT_TRUE(off(id)) << id;
  }
}

TEST(TablePropsTest, MisuseAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto aborted = ::testing::KilledBySignal(SIGABRT);
  EXPECT_EXIT(zim_srv_table_props_get(65536), aborted, "65536");
  EXPECT_EXIT(zim_table_props_set_copy_hooks(65536, shm_hook, src_hook), aborted, "65536");
  EXPECT_EXIT(zim_table_props_enable_copy_hooks(UINT32_MAX, 0), aborted, "4294967295");
  EXPECT_EXIT(zim_table_props_enable_copy_hooks(5, 1), aborted, "before both are set");
  EXPECT_EXIT((zim_table_props_set_copy_hooks(5, nullptr, src_hook),
               zim_table_props_enable_copy_hooks(5, 1)),
              aborted, "before both are set");
  EXPECT_EXIT((zim_table_props_set_copy_hooks(5, shm_hook, src_hook),
               zim_table_props_enable_copy_hooks(5, 1),
               zim_table_props_set_copy_hooks(5, shm_hook, nullptr)),
              aborted, "unset while the hooks are on");
}

}  // namespace
}  // namespace zim_sim_test
