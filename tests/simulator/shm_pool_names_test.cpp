// SPDX-License-Identifier: Apache-2.0
// The shared-memory pool's names: what a creator leaves alone, races for a
// name, the cleanup of a creator's name however it ends, and a kept pool's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/test_if.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>
#include <utility>
#include <vector>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

// Creating a pool never removes what is not one of ours: anything but a
// complete pool of this version whose creator is gone is refused and left.
TEST(ShmPoolNameTest, CreateLeavesWhatIsNotAPool) {
  const auto pool_image = [](uint64_t size_field, uint32_t version) {
    std::string image(ZIM_SHM_POOL_MIN_SIZE, '\0');
    const uint64_t magic = 0x316c6f6f706d697aull;
    std::memcpy(image.data(), &magic, 8);
    std::memcpy(image.data() + 8, &version, 4);
    std::memcpy(image.data() + 16, &size_field, 8);
    return image;
  };
  enum Kind { kFile, kDir, kSymlink, kFifo };
  const struct {
    const char* what;
    Kind kind;
    std::string content;  // of a file
  } cases[] = {
      {"another program's file", kFile, std::string(2 * ZIM_SHM_POOL_MIN_SIZE, 'j')},
      {"a short file", kFile, "abc"},
      {"an empty file", kFile, ""},
      {"a pool of another version", kFile, pool_image(ZIM_SHM_POOL_MIN_SIZE, 3)},
      {"a pool cut short", kFile, pool_image(2 * ZIM_SHM_POOL_MIN_SIZE, 4)},
      {"a directory", kDir, ""},
      {"a symlink", kSymlink, ""},
      {"a FIFO", kFifo, ""},
  };
  // "fast": the child must see what is made here, not make its own.
  GTEST_FLAG_SET(death_test_style, "fast");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = unique_pool_name(), path = "/dev/shm" + name;
    const std::string target = path + ".target";
    ASSERT_TRUE(c.kind == kFile      ? put_segment(name, c.content.data(), c.content.size())
                : c.kind == kDir     ? mkdir(path.c_str(), 0700) == 0
                : c.kind == kSymlink ? symlink(target.c_str(), path.c_str()) == 0
                                     : mkfifo(path.c_str(), 0600) == 0);
    // The default pool too: the environment names a foreign file.
    EXPECT_EXIT(
        {
          const bool refused = zim_shm_pool_create(name.c_str(), 8u << 20) == -1 &&
                               errno == EEXIST && zim_shm_pool_base() == nullptr;
          setenv("ZIM_SHM_POOL_NAME", name.c_str(), 1);
          std::exit(refused && zim_shm_table_pool_calloc(1, 16) == nullptr ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "is not a pool of this version");
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << "removed";
    if (c.kind == kFile) {  // opening a FIFO would wait for a writer
      std::ifstream in(path, std::ios::binary);
      EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == c.content) << "changed";
    }
    EXPECT_FALSE(lstat(target.c_str(), &st) == 0) << "a file made where the symlink leads";
    EXPECT_EQ(c.kind == kDir ? rmdir(path.c_str()) : unlink(path.c_str()), 0);
  }
}

// The losers name the winner, not a pool still being made nor a stale pool's creator.
TEST(ShmPoolNameTest, RacingCreatorsLeaveOnePoolThatTheOthersName) {
  constexpr int kCreators = 8;
  struct Shared {
    std::atomic<int> ready, done, wins;
    std::atomic<bool> go;
    std::atomic<pid_t> winner;
  };
  for (const bool stale : {false, true}) {
    SCOPED_TRACE(stale ? "stale pool" : "free name");
    auto* shared = shared_zeroed<Shared>();
    ASSERT_NE(shared, nullptr);
    const std::string name = unique_pool_name();
    ASSERT_TRUE(!stale || leave_stale_pool(name));
    const auto create = [&] {
      alarm(10);
      ++shared->ready;
      while (!shared->go) {
      }
      const bool won = zim_shm_pool_create(name.c_str(), 1u << 20) == 0;
      const int err = errno;
      if (won) {
        ++shared->wins;
        shared->winner = getpid();
      }
      ++shared->done;
      while (won && shared->done < kCreators) usleep(1000);  // the name stays owned meanwhile
      zim_shm_pool_detach();
      return won || err == EEXIST ? 0 : 1;
    };
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::vector<pid_t> creators;
    for (int i = 0; i < kCreators; ++i) creators.push_back(spawn(create, out[1]));
    close(out[1]);
    while (shared->ready < kCreators) usleep(1000);
    shared->go = true;
    const std::string text = read_all(out[0]);
    close(out[0]);
    for (pid_t pid : creators) EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(shared->wins, 1);
    const std::string owner = "the live pool of process " + std::to_string(shared->winner) + "\n";
    EXPECT_EQ(count(text, owner), size_t(kCreators - 1)) << text;
    EXPECT_EQ(count(text, "\n"), size_t(kCreators - 1)) << text;
    EXPECT_FALSE(shm_exists(name)) << "the winner's exit removes it";
  }
}

// Creator A lets its pool go, in each way it can, after its name was taken out
// of /dev/shm behind its back and C made a new pool under it: C's name stays.
TEST_F(ShmPoolTest, ACreatorLeavesTheNameOfItsSuccessorAlone) {
  enum How { kDetach, kDestroy, kExit, kAbort };
  for (const How how : {kDetach, kDestroy, kExit, kAbort}) {
    SCOPED_TRACE(how);
    int ready[2], go[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
    const pid_t a = spawn([&] {
      char byte = zim_shm_pool_create(name_.c_str(), 1u << 20) == 0 ? 'y' : 'n';
      if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) return 1;
      if (how == kDetach) zim_shm_pool_detach();
      if (how == kExit) std::exit(0);  // the exit handlers run, unlike _exit's
      if (how == kAbort) std::abort();
      return how == kDestroy ? zim_shm_pool_destroy() : 0;
    });
    char created = 0;
    ASSERT_TRUE(read(ready[0], &created, 1) == 1 && created == 'y');
    ASSERT_EQ(shm_unlink(name_.c_str()), 0);
    create(1u << 20);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(wait_exit(a), how == kAbort ? -1 : 0);
    EXPECT_TRUE(shm_exists(name_)) << "A removed C's name";
    EXPECT_EQ(zim_shm_pool_destroy(), 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
  }
}

// A pool passes from owner to owner, its objects, root and name kept however
// each owner ends, until a destroy.
TEST_F(ShmPoolTest, AnAdoptedPoolKeepsItsObjectsRootAndNameUntilDestroyed) {
  EXPECT_TRUE(zim_shm_pool_hand_over() == -1 && errno == EPERM) << "no pool, no owner";
  ASSERT_TRUE(leave_stale_pool(name_));  // the first owner: a creator killed
  // Each adopter finds every object so far, at another address than the
  // creator's, adds one and ends its own way.
  enum How { kExit, kAbort, kKill, kDetach, kHandOver };
  for (const How how : {kExit, kAbort, kKill, kDetach, kHandOver}) {
    SCOPED_TRACE(how);
    auto [status, text] = run_in_child_stderr([&] {
      if (zim_shm_pool_adopt(name_.c_str()) != 0) return 1;
      const auto* hdr = static_cast<const zim_sim::PoolHeader*>(zim_shm_pool_base());
      if (hdr->creator_base == reinterpret_cast<uintptr_t>(hdr)) return 2;
      if (zim_shm_pool_table_blocks(5000) != unsigned(how)) return 3;
      auto* mine = static_cast<uint64_t*>(zim_shm_table_pool_calloc(5000, 64));
      *mine = 0x5eed + how;
      if (how == kExit) zim_shm_pool_set_root(zim_shm_pool_offset_of(mine));
      if (*static_cast<uint64_t*>(zim_shm_pool_at(zim_shm_pool_root())) != 0x5eed) return 4;
      if (how == kExit) std::exit(0);
      if (how == kAbort) std::abort();
      if (how == kKill) raise(SIGKILL);
      if (how == kDetach) zim_shm_pool_detach();
      return how == kHandOver ? zim_shm_pool_hand_over() : 0;
    });
    EXPECT_EQ(status, how == kAbort || how == kKill ? -1 : 0) << text;
    ASSERT_TRUE(shm_exists(name_));
    std::tie(status, text) =
        run_in_child_stderr([&] { return zim_shm_pool_create(name_.c_str(), 1u << 20); });
    EXPECT_EQ(status, 255);
    EXPECT_NE(text.find("handed over: adopt or destroy it\n"), std::string::npos) << text;
  }
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  EXPECT_EQ(zim_shm_pool_table_blocks(5000), 5u);
  auto [status, text] = run_in_child_stderr([&] { return zim_shm_pool_adopt(name_.c_str()) + 1; });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "zim_memory: cannot adopt the pool \"" + name_ + "\": its owner, process " +
                      std::to_string(getpid()) + ", is alive; it must hand the pool over first\n");
  EXPECT_EQ(zim_shm_pool_destroy(), 0) << "the owner's destroy removes the name";
  EXPECT_FALSE(shm_exists(name_));
}

// Abort runs no exit handlers, yet the default pool, run out by server constructors, goes.
TEST(DefaultPoolTest, AbortLeavesNoSegment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string name = unique_pool_name();
  EXPECT_EXIT(
      {
        setenv("ZIM_SHM_POOL_NAME", name.c_str(), 1);
        setenv("ZIM_SHM_POOL_SIZE", "49152", 1);
        for (;;) zim_srv_test_if_ctor_with_shm();
      },
      ::testing::KilledBySignal(SIGABRT), "");
  EXPECT_FALSE(shm_exists(name));
}

}  // namespace
}  // namespace zim_sim_test
