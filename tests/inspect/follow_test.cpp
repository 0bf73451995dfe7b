// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect follow, end to end: this process writes a versioned
// pool while the tool follows it; the tool's lines are read back: every
// change in order, a lap told and resynced to the pool's versions, objects
// decoded, and its last line when interrupted or when the pool is destroyed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode.hpp"
#include "objects.hpp"
#include "sim_test_util.hpp"
#include "zim/sim/shm_pool.h"

namespace {

using zim_inspect::Json;

// The tool following the pool, its standard output on a pipe.
struct Tool {
  pid_t pid = -1;
  int out = -1;
  std::string text;  // what it printed so far

  Tool(const std::string& pool, const std::vector<std::string>& options) {
    int p[2];
    if (pipe(p) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(p[1], STDOUT_FILENO);
      close(p[0]);
      close(p[1]);
      std::vector<const char*> argv{ZIM_INSPECT_TOOL, "follow", pool.c_str()};
      for (const std::string& o : options) argv.push_back(o.c_str());
      argv.push_back(nullptr);
      execv(ZIM_INSPECT_TOOL, const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(p[1]);
    out = p[0];
  }
  ~Tool() {
    if (out >= 0) close(out);
  }
  // Reads until the output holds `what` `times` times (or 20 s pass idle).
  bool printed(const std::string& what, size_t times = 1) {
    while (zim_sim_test::count(text, what) < times) {
      const std::string more = zim_sim_test::read_all(out, what.c_str());
      if (more.empty()) return false;
      text += more;
    }
    return true;
  }
  int ended() {
    text += zim_sim_test::read_all(out);
    return zim_sim_test::wait_exit(pid);
  }
  std::vector<Json> json_lines() const {
    std::vector<Json> lines;
    size_t at = 0;
    for (size_t eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1) {
      lines.push_back(Json::parse(text.substr(at, eol - at)));
    }
    return lines;
  }
};

class FollowTool : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = zim_sim_test::unique_pool_name();
    const zim_shm_pool_options_t options{1, 0, 8, 16};  // a ring of 8
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 4u << 20, &options), 0);
  }
  void TearDown() override { zim_shm_pool_destroy(); }

  void* write(void* obj, unsigned char fill) {
    if (zim_shm_pool_version_of(obj) != 1) {
      EXPECT_EQ(zim_shm_pool_write_begin(obj), 0);
    }
    std::memset(static_cast<char*>(obj) + 32, fill, 32);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    return obj;
  }

  std::string name_;
};

TEST_F(FollowTool, PrintsEveryChangeTellsALapResyncsAndEndsOnSigint) {
  Tool tool(name_, {"--json"});
  ASSERT_TRUE(tool.printed("\"start\""));
  std::vector<void*> objs;
  for (int i = 0; i < 3; ++i) objs.push_back(write(zim_shm_pool_calloc_untyped(64), 1));
  write(objs[0], 2);
  ASSERT_TRUE(tool.printed("\"change\"", 4));
  // Stopped, it falls more than a ring behind; it resyncs when it goes on.
  kill(tool.pid, SIGSTOP);
  for (int w = 0; w < 20; ++w) write(objs[w % 3], static_cast<unsigned char>(w));
  kill(tool.pid, SIGCONT);
  ASSERT_TRUE(tool.printed("\"resynced\""));
  kill(tool.pid, SIGINT);
  ASSERT_EQ(tool.ended(), 0);
  const std::vector<Json> lines = tool.json_lines();
  ASSERT_GE(lines.size(), 8u) << tool.text;
  EXPECT_EQ(lines[0]["pool"], name_);
  const uint64_t first = lines[0]["next"];
  const struct {
    const char* kind;
    size_t object;
  } changes[] = {{"created", 0}, {"created", 1}, {"created", 2}, {"changed", 0}};
  for (size_t i = 0; i < 4; ++i) {
    const Json& l = lines[1 + i];
    EXPECT_EQ(l["event"], "change");
    EXPECT_EQ(l["sequence"], first + i);
    EXPECT_EQ(l["kind"], changes[i].kind);
    EXPECT_EQ(l["table_id"], "untyped");
    EXPECT_EQ(l["offset"], zim_shm_pool_offset_of(objs[changes[i].object]));
    EXPECT_EQ(l["pool_id"], zim_shm_pool_id_of(objs[changes[i].object]));
    EXPECT_EQ(l["version"], 2 * (first + i));
  }
  // Whatever it read before the lap, it tells the lap, then each object at
  // the version it has now, then where it follows from.
  size_t at = 5;
  while (at < lines.size() && lines[at]["event"] == "change") ++at;
  ASSERT_LT(at + 5, lines.size()) << tool.text;
  EXPECT_EQ(lines[at]["event"], "lapped");
  for (size_t i = 0; i < 3; ++i) {
    const Json& l = lines[at + 1 + i];
    EXPECT_EQ(l["event"], "resync");
    EXPECT_EQ(l["kind"], "changed");
    EXPECT_EQ(l["pool_id"], zim_shm_pool_id_of(objs[i]));
    EXPECT_EQ(l["version"], zim_shm_pool_version_of(objs[i]));
  }
  EXPECT_EQ(lines[at + 4]["event"], "resynced");
  EXPECT_EQ(lines[at + 4]["next"], first + 24);
  EXPECT_EQ(lines.back(), (Json{{"event", "end"}, {"reason", "stopped by SIGINT"}}));
}

TEST_F(FollowTool, DecodesObjectsAndEndsWhenThePoolIsDestroyed) {
  const TypeLayout& type = layouts().front();
  Tool tool(name_, {"--decode"});
  ASSERT_TRUE(tool.printed("following "));
  const Bytes bytes = real_object(type.table_id, 0);
  void* obj = zim_shm_table_pool_calloc(type.table_id, bytes.size());
  ASSERT_NE(obj, nullptr);
  std::memcpy(obj, bytes.data(), bytes.size());
  ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  const std::string line = " created table " + std::to_string(type.table_id) + " offset " +
                           std::to_string(zim_shm_pool_offset_of(obj)) + " pool-id " +
                           std::to_string(zim_shm_pool_id_of(obj)) + " version " +
                           std::to_string(zim_shm_pool_version_of(obj)) + "\n";
  ASSERT_TRUE(tool.printed(line));
  ASSERT_TRUE(tool.printed("\n    ")) << tool.text;  // the decoded fields follow, indented
  ASSERT_EQ(zim_shm_pool_destroy(), 0);
  ASSERT_EQ(tool.ended(), 0);
  const size_t decoded = tool.text.find(line) + line.size();
  EXPECT_NE(tool.text.find(type.name, decoded), std::string::npos) << tool.text;
  EXPECT_NE(tool.text.find("    "), std::string::npos);
  const std::string end = "end: the pool was destroyed\n";
  ASSERT_GE(tool.text.size(), end.size());
  EXPECT_EQ(tool.text.substr(tool.text.size() - end.size()), end) << tool.text;
}

TEST_F(FollowTool, EndsWhenTheOwnerHandsThePoolOver) {
  Tool tool(name_, {});
  ASSERT_TRUE(tool.printed("following "));
  write(zim_shm_pool_calloc_untyped(64), 1);
  ASSERT_TRUE(tool.printed(" created untyped "));
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_EQ(tool.ended(), 0);
  EXPECT_NE(tool.text.find(" handed-over"), std::string::npos) << tool.text;
  const std::string end = "end: the pool was handed over\n";
  ASSERT_GE(tool.text.size(), end.size());
  EXPECT_EQ(tool.text.substr(tool.text.size() - end.size()), end) << tool.text;
  EXPECT_EQ(zim_shm_pool_destroy_name(name_.c_str()), 0);
}

TEST_F(FollowTool, RefusesAPoolThatIsNotVersioned) {
  const std::string name = zim_sim_test::unique_pool_name();
  ASSERT_EQ(zim_sim_test::run_in_child([&] {
              zim_shm_pool_detach();
              return zim_shm_pool_create(name.c_str(), ZIM_SHM_POOL_MIN_SIZE) == 0 &&
                             zim_shm_pool_hand_over() == 0
                         ? 0
                         : 1;
            }),
            0);
  const auto [status, text] =
      zim_sim_test::command_output(std::string(ZIM_INSPECT_TOOL) + " follow " + name);
  EXPECT_EQ(status, 2);
  EXPECT_NE(text.find("it is not a versioned pool"), std::string::npos) << text;
  zim_shm_pool_destroy_name(name.c_str());
}

}  // namespace
