// SPDX-License-Identifier: Apache-2.0
// The pool's handshake: a second process (pool_probe.cpp) whose configuration
// or layout of a type disagrees with the pool's is refused before it reads a
// value; one that agrees, or does not know the type, attaches.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr int kRefused = 3;  // the probe's exit status: attach failed, nothing mapped

// The test's own configuration is the default: N 8, NPD size 16, no entries.
// An adopter is held to it as an attacher is: a migration carries layouts only.
TEST_F(ShmPoolTest, AnotherConfigurationIsRefusedAtAttachAndAdoption) {
  create(1u << 20);
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  const std::string pool = "zim_memory: pool " + name_ + " made for ";
  const struct {
    std::vector<const char*> env;
    std::vector<std::string> lines;  // none: it attaches
  } cases[] = {
      {{"ZIM_MAX_NUM_NPUS=4"}, {"N 8; this process has N 4"}},
      {{"ZIM_NPD_SIZES=40=8"}, {"NPD size 16 for table id 40; this process has 8"}},
      {{"ZIM_NPD_SIZE=8", "ZIM_NPD_SIZES=40=16,7000=16"},
       {"NPD size 16 for every table id without an entry of its own (ZIM_NPD_SIZE); this "
        "process has 8"}},
      {{"ZIM_MAX_NUM_NPUS=16", "ZIM_NPD_SIZES=0=0,65535=1"},
       {"N 8; this process has N 16", "NPD size 16 for table id 0; this process has 0",
        "NPD size 16 for table id 65535; this process has 1"}},
      {{"ZIM_NPD_SIZES=40=16", "ZIM_MAX_NUM_NPUS=8"}, {}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    for (const std::string command : {"attach", "adopt"}) {
      SCOPED_TRACE(command + " " + (c.env.empty() ? "" : c.env[0]));
      const Outcome o = run(PROBE_PLAIN, command.c_str(), name_, c.env);
      EXPECT_EQ(o.status, c.lines.empty() ? 0 : kRefused) << o.err;
      EXPECT_EQ(o.out, c.lines.empty() ? "0\n" : std::string(std::strerror(EPROTO)) + "\n");
      EXPECT_EQ(count(o.err, "\n"), c.lines.size()) << o.err;
      for (const std::string& line : c.lines) {
        const std::string end = command == "adopt" ? " (not migrated)\n" : "\n";
        EXPECT_NE(o.err.find(pool + line + end), std::string::npos) << o.err;
      }
    }
  }
  ASSERT_EQ(zim_shm_pool_attach(name_.c_str()), 0);  // for the owner gone, anyone's destroy
}

// A migration under way (its record named in the header) turns attachers
// away until it completes; the owner's successor adopts the pool all the same
// and finishes it.
TEST_F(ShmPoolTest, AttachWaitsForAMigrationAdoptionDoesNot) {
  create(1u << 20);
  auto* hdr = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base());
  hdr->migration = ZIM_SHM_POOL_HEADER_SIZE + kHeader;
  const std::string busy = "zim_memory: pool " + name_ +
                           " is being migrated: its objects are being converted to their types' "
                           "new layouts; attach again when the migration completes\n";
  Outcome o = run(PROBE_PLAIN, "attach", name_);
  EXPECT_EQ(o.status, kRefused);
  EXPECT_EQ(o.out + o.err, std::string(std::strerror(EBUSY)) + "\n" + busy);
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  o = run(PROBE_PLAIN, "adopt", name_);
  EXPECT_EQ(o.out + o.err, "0\n");
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->migration = 0;
  o = run(PROBE_PLAIN, "attach", name_);
  EXPECT_EQ(o.out + o.err, "0\n");
}

// probe_defs/a and b: probe_entry (table id 0) with speed at another offset.
TEST(PoolHandshakeTest, AnotherLayoutOfATypeWithObjectsIsRefusedAtAttach) {
  const std::string name = unique_pool_name();
  const Proc server = start(PROBE_A, "serve", name);
  ASSERT_EQ(read_all(server.out, "\n"), "ready\n");
  const std::string refusal = "zim_memory: pool " + name +
                              " holds objects of type probe_entry (table id 0) of another "
                              "layout: probe_entry: ";
  const struct {
    const char* probe;
    int status;
    const char* out;
  } cases[] = {{PROBE_B, kRefused, nullptr}, {PROBE_A, 0, "77\n"}, {PROBE_PLAIN, 0, "77\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.probe);
    const Outcome o = run(c.probe, "attach", name);
    EXPECT_EQ(o.status, c.status) << o.err;
    if (c.out != nullptr) {
      EXPECT_EQ(o.out + o.err, c.out);
    } else {
      EXPECT_EQ(o.err.find(refusal), 0u) << o.err;
      // Worded from the pool's objects to this program's.
      EXPECT_NE(o.err.find("the pool's objects have `lane_counters` at 208:4x4 with flags at 225; "
                           "this program's have it at 200:4x4 with flags at 224"),
                std::string::npos)
          << o.err;
      EXPECT_EQ(count(o.err, "\n"), 1u) << o.err;
    }
  }
  // A library loaded after the attach brings its notes to the next first
  // block: another layout than recorded, or another than the program's own.
  const struct {
    const char* probe;
    const char* command;
    std::string refusal;
  } loads[] = {
      {PROBE_PLAIN, "premake",
       "zim_memory: cannot make an object in pool " + name +
           ": it holds objects of type probe_entry (table id 0) of another layout: "},
      {PROBE_A, "make",
       std::string("zim_memory: cannot make an object: type probe_entry (table id 0) has two "
                   "layouts in this program, in the program and in ") +
           PROBE_LIB_B + ": "},
  };
  for (const auto& c : loads) {
    SCOPED_TRACE(c.probe);
    const Proc p = start(c.probe, c.command, name, {}, PROBE_LIB_B);
    const Outcome o = finish(p);
    EXPECT_EQ(o.status, 4) << o.err;
    EXPECT_EQ(o.err.find(c.refusal), 0u) << o.err;
  }
  EXPECT_EQ(finish(server).status, 0);
}

// A process that attached while the pool held no probe_entry, and makes its
// first one after another process recorded another layout.
TEST_F(ShmPoolTest, AFirstObjectOfAnotherLayoutThanRecordedMeanwhileIsRefused) {
  create(1u << 20);
  const Proc late = start(PROBE_A, "make", name_);
  ASSERT_EQ(read_all(late.out, "\n"), "attached\n");
  const Outcome first = run(PROBE_B, "make", name_);  // records layout b
  EXPECT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(write(late.in, "\n", 1), 1);
  const Outcome o = finish(late);
  EXPECT_EQ(o.status, 4) << "refused";
  EXPECT_EQ(o.err.find("zim_memory: cannot make an object in pool " + name_ +
                       ": it holds objects of type probe_entry (table id 0) of another layout: "
                       "probe_entry: "),
            0u)
      << o.err;
  EXPECT_EQ(zim_shm_pool_table_blocks(0), 1u);
  EXPECT_EQ(run(PROBE_B, "make", name_).status, 0) << "the recorded layout goes on";
  EXPECT_EQ(zim_shm_pool_table_blocks(0), 2u);
}

// Every record the handshake reads may hold anyone's bytes: a damaged one
// refuses the attach through the C API (-1, errno, nothing mapped, one line
// on stderr) and never ends the process another way. The object of layout a
// is made first, so the pool holds a configuration, an id page and a layout
// record.
TEST_F(ShmPoolTest, EveryDamagedRecordRefusesTheAttachWithAMessage) {
  create(1u << 20);
  ASSERT_EQ(run(PROBE_A, "make", name_).status, 0);
  auto* base = static_cast<unsigned char*>(zim_shm_pool_base());
  auto* hdr = reinterpret_cast<zim_sim::PoolHeader*>(base);
  const uint64_t page = hdr->pages[0].load();
  ASSERT_NE(page, 0u);
  const uint64_t layout = reinterpret_cast<zim_sim::IdPage*>(base + page)->slots[0].layout.load();
  ASSERT_NE(layout, 0u);
  auto* config = reinterpret_cast<zim_shm_pool_config_t*>(base + hdr->config.load());
  auto* record = reinterpret_cast<zim_shm_pool_layout_record_t*>(base + layout);
  // Rewrites the first `from` of the record's text, as long as `to`.
  const auto text = [&](const char* from, const char* to) {
    const size_t at = std::string_view(record->text, record->text_size).find(from);
    ASSERT_NE(at, std::string_view::npos) << from;
    std::memcpy(record->text + at, to, std::strlen(to));
  };
  const struct {
    const char* what;
    const char* probe;  // of layout b, unless the record itself is the fault
    std::function<void()> damage, repair;
    int error;
    const char* says;
  } cases[] = {
      {"config entries past its block", PROBE_PLAIN, [&] { config->entry_count = 1u << 30; },
       [&] { config->entry_count = 0; }, EINVAL, "configuration record"},
      {"config record elsewhere", PROBE_PLAIN, [&] { hdr->config = hdr->config.load() + 8; },
       [&] { hdr->config = hdr->config.load() - 8; }, EINVAL, "configuration record"},
      {"layout text past its block", PROBE_B, [&] { record->text_size += 1u << 20; },
       [&] { record->text_size -= 1u << 20; }, EPROTO, "of another layout"},
      {"layout text unreadable", PROBE_B, [&] { text("  class ", "  clazz "); },
       [&] { text("  clazz ", "  class "); }, EPROTO, "layout record unreadable: "},
      {"layout text of other bytes", PROBE_B, [&] { text("\n  fixed_size 2", "\n  fixed_size 9"); },
       [&] { text("\n  fixed_size 9", "\n  fixed_size 2"); }, EPROTO, "layout record unreadable: "},
      {"migration record missing", PROBE_A,
       [&] { hdr->migration = ZIM_SHM_POOL_HEADER_SIZE + kHeader; }, [&] { hdr->migration = 0; },
       EBUSY, "is being migrated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    const Outcome o = run(c.probe, "attach", name_);
    c.repair();
    EXPECT_EQ(o.status, kRefused) << o.err;
    EXPECT_EQ(o.out, std::string(std::strerror(c.error)) + "\n");
    EXPECT_EQ(o.err.find("zim_memory: "), 0u) << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(count(o.err, "\n"), 1u) << o.err;
  }
  EXPECT_EQ(run(PROBE_A, "attach", name_).status, 0) << "repaired, the pool attaches again";
}

}  // namespace
}  // namespace zim_sim_test
