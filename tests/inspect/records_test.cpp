// SPDX-License-Identifier: Apache-2.0
// Pools as their own records describe them: crafted pieces, walked in process,
// so that every damage a record can carry is met.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gen/layout/fingerprint.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/manifest/record_difference.hpp"
#include "objects.hpp"
#include "pool.hpp"

namespace {

constexpr uint32_t kUserId = 1000, kUserUid = 4242;

struct Piece {
  uint32_t tag;
  Bytes bytes;
};
std::vector<Piece> g_pool;

int crafted_walk(const char*, int (*visit)(const zim_shm_pool_piece_t*, void*), void* context,
                 zim_shm_pool_walk_facts_t* facts) {
  if (facts != nullptr) *facts = {};
  uint64_t at = ZIM_SHM_POOL_HEADER_SIZE + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  for (const Piece& p : g_pool) {
    const zim_shm_pool_piece_t piece{at, p.bytes.size(), p.tag, 0, p.bytes.data(), 0, 0};
    if (const int rc = visit(&piece, context)) return rc;
    at += (p.bytes.size() + 15) / 16 * 16 + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  }
  return 0;
}

int crafted_read(const zim_shm_pool_piece_t* piece, uint64_t from, uint64_t size, void* to) {
  if (from > piece->size || size > piece->size - from) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(to, static_cast<const unsigned char*>(piece->data) + from, size);
  return 0;
}

// A user's type: testdynhg's layout (a count and per-NPU arrays, so N and
// the NPD size both move bytes) under its own name and id, as its record.
std::string user_record() {
  const std::string manifest = tablegen::manifest_text({layouts()[ZIM_TABLE_ID_TESTDYNHG]});
  std::string text = manifest.substr(manifest.find("\ntype ") + 1);
  text.replace(0, text.find('\n'), "type " + std::to_string(kUserId) + " port_entry");
  for (size_t at; (at = text.find("testdynhg")) != std::string::npos;) {
    text.replace(at, 9, "port_entry");
  }
  // Its fingerprint covers the new name and id.
  const size_t line = text.find("  fingerprint "), end = text.find('\n', line) + 1;
  text.erase(line, end - line);
  const auto layout = tablegen::read_layout_record(text);
  if (!layout) return "";
  const std::string hex = tablegen::fingerprint_hex(tablegen::layout_fingerprint(*layout));
  return text.insert(line, "  fingerprint " + hex + "\n");
}

Bytes config(uint32_t npus, uint32_t default_npd, std::vector<zim_shm_pool_config_entry_t> entries,
             uint32_t claimed = UINT32_MAX) {
  Bytes b(sizeof(zim_shm_pool_config_t) + entries.size() * sizeof entries[0]);
  const auto count = claimed == UINT32_MAX ? static_cast<uint32_t>(entries.size()) : claimed;
  const zim_shm_pool_config_t head{npus, default_npd, count, 0};
  std::memcpy(b.data(), &head, sizeof head);
  if (!entries.empty()) std::memcpy(b.data() + sizeof head, entries.data(), b.size() - sizeof head);
  return b;
}

Bytes layout_record(uint32_t id, uint64_t fingerprint, const std::string& text,
                    uint32_t text_size) {
  Bytes b(sizeof(zim_shm_pool_layout_record_t) + text.size());
  const zim_shm_pool_layout_record_t head{id, text_size, fingerprint};
  std::memcpy(b.data(), &head, sizeof head);
  std::memcpy(b.data() + sizeof head, text.data(), text.size());
  return b;
}

Bytes user_object() {
  Bytes b = real_object(ZIM_TABLE_ID_TESTDYNHG, 2);
  put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, kUserId);
  put<uint32_t>(b, ZIM_OBJ_UID_OFFSET, kUserUid);
  return b;
}

// A pool as this process's platform would make it: its N, a default NPD size
// no object uses, and an entry for each id that holds objects.
void craft_pool(const std::function<void(Bytes& record)>& damage = nullptr,
                const std::vector<Piece>& more = {}) {
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  const std::string text = user_record();
  const auto user = tablegen::read_layout_record(text);
  ASSERT_TRUE(user);
  Bytes record = layout_record(kUserId, tablegen::layout_fingerprint(*user), text,
                               static_cast<uint32_t>(text.size()));
  if (damage) damage(record);
  // The record lies past the object it describes, as in a pool it may.
  g_pool = {{ZIM_SHM_POOL_CONFIG, config(hulcon_config_get_max_num_npus(), npd + 8,
                                         {{ZIM_TABLE_ID_TESTDYNHG, npd}, {kUserId, npd}})},
            {ZIM_SHM_POOL_ID_PAGE, Bytes(64, 0)},
            {ZIM_TABLE_ID_TESTDYNHG, real_object(ZIM_TABLE_ID_TESTDYNHG, 3)},
            {kUserId, user_object()},
            {ZIM_SHM_POOL_LAYOUT, record}};
  g_pool.insert(g_pool.end(), more.begin(), more.end());
}

zim_inspect::PoolContext crafted_context() {
  zim_inspect::PoolContext c;
  c.types = &layouts();
  c.sizing = [](uint32_t) { return Sizing{}; };  // no object fits: the config must be read
  c.walk = crafted_walk;
  c.read = crafted_read;
  return c;
}

std::string problems_of(const Json& report) {
  std::string all = report["problems"].dump();
  for (const auto& t : report["tables"]) all += t["problems"].dump();
  return all;
}

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
  craft_pool(nullptr, {{ZIM_SHM_POOL_CONFIG, config(n, 8, {}, 3)}});
  std::string error;
  auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  EXPECT_NE(problems_of(*report).find("a second config record"), std::string::npos);
  g_pool[0].bytes = config(n, 8, {{7, 8}}, 2);
  report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  EXPECT_NE(problems_of(*report).find("has 2 NPD sizes, more than its 24 bytes hold"),
            std::string::npos);
  g_pool[0].bytes = config(n, 8, {{7, 8}, {7, 8}});
  report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  EXPECT_NE(problems_of(*report).find("is for table id 7, not above the one before"),
            std::string::npos);
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
