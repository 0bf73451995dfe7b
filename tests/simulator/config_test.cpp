// Configuration from the environment, and how messages show what it holds.
// Values are read once per process, so each case runs in a fresh child process.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/config.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim_test_util.hpp"

namespace {

using Env = std::vector<std::pair<const char*, const char*>>;  // null value: unset

// Sets env in a fresh process and expects read() to give want, also after the
// variables have changed. want < 0: expects exit status 2 and a message naming
// the last variable of env and its value.
void expect_read(const Env& env, const std::function<uint32_t()>& read, int64_t want) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto apply = [&env] {
    for (const char* var : {"ZIM_MAX_NUM_NPUS", "ZIM_NPD_SIZE", "ZIM_NPD_SIZES"}) unsetenv(var);
    for (const auto& [var, value] : env) {
      if (value != nullptr) setenv(var, value, 1);
    }
  };
  if (want < 0) {
    const auto& [var, value] = env.back();
    EXPECT_EXIT((apply(), read()), ::testing::ExitedWithCode(ZIM_SIM_CONFIG_EXIT_STATUS),
                std::string(var) + "=\"" + zim_sim_test::literal(value) + "\"");
    return;
  }
  EXPECT_EXIT(
      {
        apply();
        const uint32_t first = read();
        for (const auto& e : env) setenv(e.first, "1234", 1);  // valid or not, must be ignored
        const uint32_t again = read();
        std::fprintf(stderr, "got %u then %u\n", first, again);
        std::exit(first == want && again == want ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ConfigTest, MaxNumNpus) {
  const struct {
    const char* value;
    int64_t want;
  } cases[] = {{nullptr, ZIM_SIM_DEFAULT_MAX_NUM_NPUS},
               {"0", 0},
               {"0012", -1},
               {"00", -1},
               {"4096", 4096},
               {"", -1},
               {"4097", -1},
               {"-1", -1},
               {"+3", -1},
               {" 3", -1},
               {"3 ", -1},
               {"0x10", -1},
               {"18446744073709551616", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    expect_read({{"ZIM_MAX_NUM_NPUS", c.value}}, hulcon_config_get_max_num_npus, c.want);
  }
}

TEST(ConfigTest, NpdSize) {
  const struct {
    Env env;
    uint32_t table_id;
    int64_t want;
  } cases[] = {
      {{}, 0, ZIM_SIM_DEFAULT_NPD_SIZE},
      {{}, 342, ZIM_SIM_DEFAULT_NPD_SIZE},
      {{{"ZIM_NPD_SIZE", "0"}}, 5, 0},
      {{{"ZIM_NPD_SIZE", "4294967295"}}, 7, 4294967295},
      {{{"ZIM_NPD_SIZES", "40=0,62=17"}}, 40, 0},
      {{{"ZIM_NPD_SIZES", "40=0,62=17"}}, 62, 17},
      {{{"ZIM_NPD_SIZES", "40=0,62=17"}}, 41, ZIM_SIM_DEFAULT_NPD_SIZE},
      {{{"ZIM_NPD_SIZE", "3"}, {"ZIM_NPD_SIZES", "342=9"}}, 342, 9},
      {{{"ZIM_NPD_SIZE", "3"}, {"ZIM_NPD_SIZES", "342=9"}}, 341, 3},
      {{{"ZIM_NPD_SIZE", ""}}, 0, -1},
      {{{"ZIM_NPD_SIZE", "08"}}, 0, -1},
      {{{"ZIM_NPD_SIZE", "4294967296"}}, 0, -1},
      {{{"ZIM_NPD_SIZE", "16B"}}, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env.empty() ? "(unset)" : c.env.back().second);
    expect_read(
        c.env, [id = c.table_id] { return qor_npd_get_table_size(id); }, c.want);
  }
  const std::string past_catalogue = std::to_string(ZIM_NUM_TABLE_TYPES) + "=1";
  for (const std::string bad :
       {"", "040=1", "40=01", "40", "40=", "=5", past_catalogue.c_str(), "40=1,40=2", "40=1,",
        ",40=1", "40=1;62=2", "40=-1", "40=1,,62=2", "40=4294967296"}) {
    SCOPED_TRACE(bad);
    expect_read(
        {{"ZIM_NPD_SIZES", bad.c_str()}}, [] { return qor_npd_get_table_size(0); }, -1);
  }
  // No configuration covers an id past the catalogue.
  EXPECT_EXIT(qor_npd_get_table_size(ZIM_NUM_TABLE_TYPES), ::testing::KilledBySignal(SIGABRT),
              "table id " + std::to_string(ZIM_NUM_TABLE_TYPES));
}

// Values from the environment, and pool names, reach stderr escaped: every
// byte outside printable ASCII as \xNN, overlong text cut, so that a value
// cannot drive the terminal or flood it.
TEST(ConfigTest, MessagesEscapeWhatTheyEcho) {
  const std::string pool = zim_sim_test::unique_pool_name() + "\x1b]0;x\x07";
  const int fd = shm_open(pool.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);  // another program's
  ASSERT_GE(fd, 0);
  close(fd);
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
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], STDERR_FILENO);
      zim_shm_pool_detach();  // one inherited from this process
      setenv(c.var, c.value.c_str(), 1);
      hulcon_config_get_max_num_npus();
      qor_npd_get_table_size(0);
      zim_shm_table_pool_calloc(0, 16);
      _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
    EXPECT_NE(text.find(c.want), std::string::npos) << text;
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char b) {
      return b == '\n' || (b >= 0x20 && b < 0x7f);
    })) << text;
    EXPECT_LT(text.size(), 600u) << "cut short";
  }
  shm_unlink(pool.c_str());
}

}  // namespace
