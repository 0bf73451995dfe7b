// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect on live pools, end to end. follow: this process writes a
// versioned pool while the tool follows it; the tool's lines are read back:
// every change in order, a lap told and resynced to the pool's versions,
// objects decoded, and its last line when interrupted or when the pool is
// destroyed. pool on a versioned pool: its feed's sequence and capacity, its
// index in use, the object a killed writer left torn (with that writer's pid,
// counted under way) and the object made but never given a key, in text and
// JSON, and the process that alone may write it. destroy: a pool whose
// owner is gone loses its name, one whose owner lives keeps it, and nothing
// but a pool is removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "decode.hpp"
#include "objects.hpp"
#include "sim_test_util.hpp"
#include "zim/sim/shm_pool.h"
#include "zim/tables/catalogue.hpp"

namespace {

using zim_sim_test::run_in_child;
using zim_sim_test::shm_exists;

// The tool following the pool, its standard output on a pipe.
struct Tool {
  zim_sim_test::Proc proc;
  std::string text;  // what it printed so far

  Tool(const std::string& pool, const char* option = nullptr)
      : proc(zim_sim_test::start(ZIM_INSPECT_TOOL, "follow", pool, {}, option)) {}
  ~Tool() {
    for (const int fd : {proc.in, proc.out, proc.err}) close(fd);
  }
  // Reads until the output holds `what` `times` times (or 20 s pass idle).
  bool printed(const std::string& what, size_t times = 1) {
    while (zim_sim_test::count(text, what) < times) {
      const std::string more = zim_sim_test::read_all(proc.out, what.c_str());
      if (more.empty()) return false;
      text += more;
    }
    return true;
  }
  int ended() {
    text += zim_sim_test::read_all(proc.out);
    return zim_sim_test::wait_exit(proc.pid);
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
  void SetUp() override { make_pool(); }
  void make_pool() {
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
  Tool tool(name_, "--json");
  ASSERT_TRUE(tool.printed("\"start\""));
  std::vector<void*> objs;
  for (int i = 0; i < 3; ++i) objs.push_back(write(zim_shm_pool_calloc_untyped(64), 1));
  write(objs[0], 2);
  ASSERT_TRUE(tool.printed("\"change\"", 4));
  // Stopped, it falls more than a ring behind; it resyncs when it goes on.
  kill(tool.proc.pid, SIGSTOP);
  for (int w = 0; w < 20; ++w) write(objs[w % 3], static_cast<unsigned char>(w));
  kill(tool.proc.pid, SIGCONT);
  ASSERT_TRUE(tool.printed("\"resynced\""));
  kill(tool.proc.pid, SIGINT);
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

// Each object decoded after its change; the last line says why the tool ended.
TEST_F(FollowTool, DecodesObjectsAndEndsWhenThePoolIsDestroyedOrHandedOver) {
  const TypeLayout& type = layouts().front();
  for (const bool destroyed : {true, false}) {
    SCOPED_TRACE(destroyed ? "destroyed" : "handed over");
    if (!destroyed) make_pool();
    Tool tool(name_, "--decode");
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
    ASSERT_EQ(destroyed ? zim_shm_pool_destroy() : zim_shm_pool_hand_over(), 0);
    ASSERT_EQ(tool.ended(), 0);
    const size_t decoded = tool.text.find(line) + line.size();
    EXPECT_NE(tool.text.find(type.name, decoded), std::string::npos) << tool.text;
    EXPECT_EQ(tool.text.find(" handed-over") != std::string::npos, !destroyed) << tool.text;
    const std::string end =
        destroyed ? "end: the pool was destroyed\n" : "end: the pool was handed over\n";
    ASSERT_GE(tool.text.size(), end.size());
    EXPECT_EQ(tool.text.substr(tool.text.size() - end.size()), end) << tool.text;
  }
  EXPECT_EQ(zim_shm_pool_destroy_name(name_.c_str()), 0);
}

// Offsets, pool ids and a pid that the pool's maker hands back.
struct Made {
  uint64_t indexed[2], unindexed, torn;
  uint64_t unindexed_pool_id, torn_pool_id;
};

std::string inspect_output(const std::string& args) {
  return zim_sim_test::command_output(std::string(ZIM_INSPECT_TOOL) + " " + args).second;
}

TEST(PoolRooms, AVersionedPoolShowsItsFeedIndexTornAndUnindexedObjects) {
  const std::string name = zim_sim_test::unique_pool_name();
  auto* made = zim_sim_test::shared_zeroed<Made>();
  const uint32_t keyed = 0, other = 1;                  // table ids of the catalogue
  const zim_shm_pool_options_t options{1, 0, 100, 50};  // a ring of 128
  ASSERT_EQ(zim_sim_test::run_in_child([&] {
              if (zim_shm_pool_create_with(name.c_str(), 64u << 20, &options) != 0) return 1;
              void* objs[3];
              for (void*& obj : objs) {
                obj = cat::types[keyed].ops.srv_ctor_with_shm(2);
                if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) return 2;
              }
              for (uint64_t key = 0; key < 2; ++key) {
                if (zim_shm_pool_index_put(keyed, key, objs[key], nullptr) != 0) return 3;
                made->indexed[key] = zim_shm_pool_offset_of(objs[key]);
              }
              made->unindexed = zim_shm_pool_offset_of(objs[2]);
              made->unindexed_pool_id = zim_shm_pool_id_of(objs[2]);
              void* lone = cat::types[other].ops.srv_ctor_with_shm(2);  // no key: its id has none
              if (lone == nullptr || zim_shm_pool_write_end(lone) != 0) return 4;
              made->torn = zim_shm_pool_offset_of(lone);
              made->torn_pool_id = zim_shm_pool_id_of(lone);
              return zim_shm_pool_hand_over();
            }),
            0);
  const pid_t writer = zim_sim_test::spawn([&] {
    if (zim_shm_pool_attach(name.c_str()) != 0) return 1;
    zim_shm_pool_write_begin(zim_shm_pool_at(made->torn));
    return raise(SIGKILL);
  });
  ASSERT_EQ(zim_sim_test::wait_exit(writer), -1);

  const Json v = Json::parse(inspect_output("pool " + name + " --json"))["versions"];
  EXPECT_EQ(v["feed"],
            (Json{{"next_sequence", 8}, {"capacity", 128}}));  // 4 writes, 2 keys, the hand-over
  EXPECT_EQ(v["index"], (Json{{"keys", 2}, {"capacity", 50}}));
  EXPECT_EQ(v["unindexed"], 1);
  EXPECT_EQ(v["unindexed_objects"], (Json::array({{{"offset", made->unindexed},
                                                   {"table_id", keyed},
                                                   {"pool_id", made->unindexed_pool_id}}})));
  ASSERT_EQ(v["torn_objects"].size(), 1u);
  const Json& torn = v["torn_objects"][0];
  EXPECT_EQ(torn["offset"], made->torn);
  EXPECT_EQ(torn["table_id"], other);
  EXPECT_EQ(torn["pool_id"], made->torn_pool_id);
  EXPECT_EQ(torn["writer_pid"], writer);
  EXPECT_EQ(torn["version"].get<uint64_t>() % 2, 1u);

  const std::string text = inspect_output("pool " + name);
  const std::string lines[] = {
      "versions: sequence 7, 4 pool ids drawn, 1 writes under way, 1 torn by a dead writer",
      "feed: next sequence 8, 128 entries\n",
      "index: 2 keys of 50, 1 objects of indexed table ids without a key\n",
      "torn at offset " + std::to_string(made->torn) + ": table id " + std::to_string(other) +
          ", pool id " + std::to_string(made->torn_pool_id) + ", version " +
          std::to_string(torn["version"].get<uint64_t>()) + ", its dead writer was process " +
          std::to_string(writer) + "\n",
      "without a key at offset " + std::to_string(made->unindexed) + ": table id " +
          std::to_string(keyed) + ", pool id " + std::to_string(made->unindexed_pool_id) + "\n",
  };
  for (const std::string& line : lines)
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  shm_unlink(name.c_str());
}

// The process that claimed a versioned pool's writes, while it lives.
TEST(PoolRooms, AVersionedPoolShowsWhoAloneMayWriteIt) {
  const std::string name = zim_sim_test::unique_pool_name();
  const zim_shm_pool_options_t options{1, 0, 8, 8};
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(run_in_child([&] {
              return zim_shm_pool_create_with(name.c_str(), 1u << 20, &options) == 0
                         ? zim_shm_pool_hand_over()
                         : 1;
            }),
            0);
  const pid_t holder = zim_sim_test::spawn([&] {
    if (zim_shm_pool_attach(name.c_str()) != 0 || zim_shm_pool_claim_writes() != 0) return 1;
    return write(ready[1], "r", 1) == 1 ? pause() : 2;
  });
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  const std::string text = inspect_output("pool " + name);
  EXPECT_NE(text.find(", only process " + std::to_string(holder) + " may write\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(Json::parse(inspect_output("pool " + name + " --json"))["versions"]["writes_holder"],
            holder);
  kill(holder, SIGKILL);
  zim_sim_test::wait_exit(holder);
  EXPECT_TRUE(Json::parse(inspect_output("pool " + name + " --json"))["versions"]["writes_holder"]
                  .is_null());
  shm_unlink(name.c_str());
}

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
