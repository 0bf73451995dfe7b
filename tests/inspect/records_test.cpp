// SPDX-License-Identifier: Apache-2.0
// Pools as their own records describe them: crafted pieces, walked in process,
// so that every damage a record can carry is met.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "crafted_pool.hpp"

namespace {

// A user's objects decode under their own type from the pool's record, beside
// the platform's from the catalogue, each sized by the pool's config record.
TEST(PoolRecords, ObjectsDecodeUnderThePoolsOwnTypes) {
  craft_pool();
  std::string error;
  const auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  ASSERT_TRUE(report) << error;
  EXPECT_TRUE((*report)["consistent"].get<bool>()) << report->dump(2);
  ASSERT_EQ((*report)["tables"].size(), 2u);
  EXPECT_EQ((*report)["tables"][0]["type"], "testdynhg");
  EXPECT_EQ((*report)["tables"][0]["layout"], "catalogue");
  EXPECT_EQ((*report)["tables"][1]["type"], "port_entry");
  EXPECT_EQ((*report)["tables"][1]["layout"], "pool");
  const Json& records = (*report)["records"];
  EXPECT_EQ(records["config"]["npd_sizes"].size(), 2u);
  EXPECT_EQ(records["layout_records"][0]["type"], "port_entry");
  EXPECT_EQ(records["id_pages"], 1);

  // decode --pool finds it by uid and reads it as the pool's type.
  std::string decoded;
  const auto use = [&](const zim_inspect::PoolObject& object) {
    ASSERT_NE(object.type, nullptr);
    decoded = object.type->name;
    EXPECT_TRUE(check(*object.type, *object.bytes, object.sizing(kUserId)).empty());
  };
  ASSERT_TRUE(
      zim_inspect::with_pool_object("/crafted", crafted_context(), {{}, kUserUid}, use, error))
      << error;
  EXPECT_EQ(decoded, "port_entry");
}

// A record that does not read as its format says is reported and never
// trusted: the user's object then has no layout.
TEST(PoolRecords, DamagedRecordsAreReportedNotTrusted) {
  const auto head = [](uint32_t id, uint32_t text_size, uint64_t fingerprint_xor) {
    return [=](Bytes& b) {
      auto* r = reinterpret_cast<zim_shm_pool_layout_record_t*>(b.data());
      r->table_id += id;
      r->text_size += text_size;
      r->fingerprint ^= fingerprint_xor;
    };
  };
  const auto text = [](const std::string& from, const std::string& to) {
    return [=](Bytes& b) {
      std::string s(b.begin() + sizeof(zim_shm_pool_layout_record_t), b.end());
      s.replace(s.find(from), from.size(), to);
      b.resize(sizeof(zim_shm_pool_layout_record_t));
      b.insert(b.end(), s.begin(), s.end());
    };
  };
  struct Case {
    std::function<void(Bytes&)> damage;
    const char* expected;
  };
  const Case cases[] = {
      {head(1, 0, 0), "record of table id 1001 (fingerprint "},
      {head(0, 0, 1), "states type port_entry of table id 1000 and fingerprint "},
      {head(0, 1, 0), "bytes of text; its block holds"},
      {head(0, 0x7fffffff, 0), "bytes of text; its block holds"},
      {text("  class", "  klass"), "does not read as a layout record"},
      {[](Bytes& b) { b.resize(8); }, "fewer than its header"},
  };
  for (const Case& c : cases) {
    craft_pool(c.damage);
    std::string error;
    const auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
    ASSERT_TRUE(report) << error;
    const std::string problems = problems_of(*report);
    SCOPED_TRACE(problems);
    EXPECT_FALSE((*report)["consistent"].get<bool>());
    EXPECT_NE(problems.find(c.expected), std::string::npos);
    EXPECT_NE(problems.find("neither the pool nor the catalogue has this table id"),
              std::string::npos);
    EXPECT_TRUE((*report)["records"]["layout_records"].empty());
  }
  // A config record that claims more entries than it holds, and a second one.
  const uint32_t n = hulcon_config_get_max_num_npus();
  const std::pair<Bytes, const char*> configs[] = {
      {config(n, 8, {{7, 8}}, 2), "has 2 NPD sizes, more than its 24 bytes hold"},
      {config(n, 8, {{7, 8}, {7, 8}}), "is for table id 7, not above the one before"},
  };
  craft_pool(nullptr, {{ZIM_SHM_POOL_CONFIG, config(n, 8, {}, 3)}});
  std::string error;
  auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  EXPECT_NE(problems_of(*report).find("a second config record"), std::string::npos);
  for (const auto& [bytes, expected] : configs) {
    g_pool[0].bytes = bytes;
    report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
    EXPECT_NE(problems_of(*report).find(expected), std::string::npos) << expected;
  }
}

// N and the NPD size come from the pool: the command line may repeat them,
// not contradict them.
TEST(PoolRecords, SizingThatDisagreesWithThePoolIsRefused) {
  craft_pool();
  const uint32_t n = hulcon_config_get_max_num_npus();
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  struct Case {
    std::optional<uint32_t> npus, npd;
    std::string expected;
  };
  const Case cases[] = {
      {n, npd, ""},
      {n + 1,
       {},
       "--npus " + std::to_string(n + 1) + " disagrees with the pool, made for N " +
           std::to_string(n)},
      {{},
       npd + 1,
       "--npd " + std::to_string(npd + 1) + " disagrees with the pool, made for " + "NPD size " +
           std::to_string(npd) + " for table id 6"},
  };
  for (const Case& c : cases) {
    zim_inspect::PoolContext context = crafted_context();
    context.npus = c.npus;
    context.npd = c.npd;
    std::string error;
    EXPECT_EQ(zim_inspect::inspect_pool("/crafted", context, error).has_value(),
              c.expected.empty());
    EXPECT_EQ(error, c.expected);
  }
}

// A program's own types (ids from 1000) and the platform's in one pool, made
// by another program: the inspector names and checks both by the pool's
// records, with no catalogue of the user's.
TEST(PoolRecords, AUsersObjectsDecodeWithoutTheirCatalogue) {
  const std::string name = "/zim_inspect_user." + std::to_string(getpid());
  const std::string command = std::string(ZIM_POOL_WRITER) + " " + name + " " + ZIM_INSPECT_TOOL +
                              " pool " + name + " --json 2>&1";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) text.append(chunk, n);
  ASSERT_EQ(pclose(out), 0) << text;
  const Json pool = Json::parse(text);
  std::map<std::string, std::string> layouts;  // type: where its layout came from
  for (const auto& t : pool["tables"]) {
    EXPECT_TRUE(t["problems"].empty()) << t.dump();
    layouts[t["type"].get<std::string>()] = t["layout"].get<std::string>();
  }
  const std::map<std::string, std::string> expected{
      {"olist", "pool"}, {"port_entry", "pool"}, {"route_list", "pool"}};
  EXPECT_EQ(layouts, expected);
  EXPECT_TRUE(pool["consistent"].get<bool>()) << text;
}

}  // namespace
