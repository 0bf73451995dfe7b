// SPDX-License-Identifier: Apache-2.0
// The pool's handshake: a second process (pool_probe.cpp) whose configuration
// or layout of a type disagrees with the pool's is refused before it reads a
// value; one that agrees, or does not know the type, attaches. And the
// allocator's size check: the sizes a layout gives at an NPD size and N, and
// the pool refusing, with a line naming the type, every other size of a type
// this program carries a layout of, on its first block and every later one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>
#include <zim/tables/test_if.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "records/object_sizes.hpp"
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

using zim_sim::gives_size;
using zim_sim::SizeRule;

constexpr uint64_t k32 = UINT32_MAX;

TEST(ObjectSizesTest, TheSizesALayoutGives) {
  const SizeRule counted{true, 232, 9, 13};  // 232 + 16 + 8 x 9 = 320 + count x 13
  const SizeRule fixed{true, 480, 9, 0};     // 480 + 16 + 8 x 9 = 568
  const SizeRule per_byte{true, 8, 0, 1};    // every size from 24 to 2^32 - 1
  const SizeRule huge_npus{true, 8, UINT64_MAX / 2, 1};
  const uint64_t last_counted = 320 + (k32 - 320) / 13 * 13;
  const struct {
    const char* what;
    const SizeRule& rule;
    uint64_t npd, n, size;
    bool given;
  } cases[] = {
      {"no element", counted, 16, 8, 320, true},
      {"one element", counted, 16, 8, 333, true},
      {"17 elements", counted, 16, 8, 320 + 17 * 13, true},
      {"one byte short", counted, 16, 8, 319, false},
      {"one byte over", counted, 16, 8, 321, false},
      {"one byte short of an element", counted, 16, 8, 332, false},
      {"size 0", counted, 16, 8, 0, false},
      {"the most elements within 32 bits", counted, 16, 8, last_counted, true},
      {"one element past 32 bits", counted, 16, 8, last_counted + 13, false},
      {"another N", counted, 16, 9, 320, false},
      {"another NPD size", counted, 17, 8, 320, false},
      {"a fixed type", fixed, 16, 8, 568, true},
      {"a fixed type, one element more", fixed, 16, 8, 568 + 9, false},
      {"a fixed type, one byte short", fixed, 16, 8, 567, false},
      {"N = 0", fixed, 16, 0, 496, true},
      {"the largest 32-bit size", per_byte, 16, 8, k32, true},
      {"2^32", per_byte, 16, 8, k32 + 1, false},
      {"2^64 - 1", per_byte, 16, 8, UINT64_MAX, false},
      {"an NPD size past 32 bits", per_byte, k32, 8, k32, false},
      {"N x per-NPU past 64 bits", huge_npus, 16, 8, 24, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gives_size(c.rule, c.npd, c.n, c.size), c.given) << c.what;
  }
}

// Every pool block of a noted type is held to the rule its layout record
// gives (a per-NPU and a counted type here): the library's own constructors
// pass, any other size is refused with one line, the first block and the
// later ones alike.
TEST_F(ShmPoolTest, AnObjectSizeNoLayoutGivesIsRefused) {
  create(1u << 20);
  const uint64_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  const uint64_t n = hulcon_config_get_max_num_npus();
  const uint64_t olist = ZIM_OLIST_OBJECT_SIZE(n, npd, 3u);
  const uint64_t test_if =
      ZIM_TEST_IF_OBJECT_SIZE(n, qor_npd_get_table_size(ZIM_TABLE_ID_TEST_IF), 0u);
  const struct {
    uint32_t table_id;
    uint64_t size;
    const char* refusal;  // null: given
  } cases[] = {
      {ZIM_TABLE_ID_OLIST, olist + 1, "olist (table id 268) of"},  // before any olist
      {ZIM_TABLE_ID_OLIST, olist, nullptr},
      {ZIM_TABLE_ID_OLIST, olist - 1, "olist (table id 268) of"},  // after one
      {ZIM_TABLE_ID_OLIST, ZIM_OLIST_OBJECT_SIZE(n, npd, 0u), nullptr},
      {ZIM_TABLE_ID_OLIST, 0, "olist (table id 268) of 0 bytes"},
      {ZIM_TABLE_ID_OLIST, uint64_t{1} << 40, "of 1099511627776 bytes"},
      {ZIM_TABLE_ID_TEST_IF, test_if, nullptr},
      {ZIM_TABLE_ID_TEST_IF, test_if + ZIM_OLIST_OBJECT_SIZE(0u, 0u, 1u), "test_if (table id 0)"},
      {6, 7, nullptr},  // no layout note of id 6 here
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.table_id) + ": " + std::to_string(c.size));
    testing::internal::CaptureStderr();
    void* block = zim_shm_table_pool_calloc(c.table_id, c.size);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(block != nullptr, c.refusal == nullptr) << said;
    if (c.refusal != nullptr) {
      EXPECT_NE(said.find(c.refusal), std::string::npos) << said;
      EXPECT_EQ(count(said, "\n"), 1u) << said;
    }
  }
  ASSERT_NE(zim_srv_olist_ctor_with_shm(17), nullptr);
  EXPECT_EQ(zim_shm_pool_table_blocks(ZIM_TABLE_ID_OLIST), 3u);
}

}  // namespace
}  // namespace zim_sim_test
