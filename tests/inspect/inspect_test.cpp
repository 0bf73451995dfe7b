// SPDX-License-Identifier: Apache-2.0
// The inspector's command line, and pools written by another process.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "decode.hpp"
#include "gen/manifest/manifest.hpp"
#include "objects.hpp"
#include "pool.hpp"
#include "sim_test_util.hpp"
#include "zim/sim/shm_pool.h"
#include "zim/tables/all_tables.h"
#include "zim/tables/catalogue.hpp"

namespace {

void write_file(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

struct RunResult {
  int status;
  std::string out;
  long max_rss_kib;  // of the shell and the tool
};

// `redirect` follows the tool's words in the shell command, for input and
// standard output; standard error is what the result holds then.
// `on_output` runs once, when the first output has come.
RunResult run_tool(const std::string& args, const std::string& redirect = "",
                   std::function<void()> on_output = nullptr) {
  const std::string command = std::string(ZIM_INSPECT_TOOL) + " " + args + " 2>&1 " + redirect;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {-1, "pipe failed", 0};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_fds[1]);
  std::string out;
  char chunk[65536];
  for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out.append(chunk, static_cast<size_t>(n));
    if (on_output) std::exchange(on_output, nullptr)();
  }
  close(pipe_fds[0]);
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return {-1, out, 0};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, usage.ru_maxrss};
}

// What the tool may take to decode or walk anything, whatever its size. The
// peak counts the forked copy of this process too, before it runs the shell.
// Under the address sanitizer that copy holds up to 256 MiB of quarantined
// frees and their shadow, so the bound there only tells a walk from a copy of
// the 512 MiB block; the optimised build holds the tool to the tight one.
#ifdef __SANITIZE_ADDRESS__
constexpr long kSmallRssKib = 448 * 1024;
#else
constexpr long kSmallRssKib = 64 * 1024;
#endif

bool printable(unsigned char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); }

// Where decode takes its bytes from, exit statuses, output that cannot be
// written, and outside text escaped: everything the tool says is printable, and
// JSON sent to a pipe parses.
TEST(CommandLine, InputsStatusAndOutput) {
  const std::string dir = ::testing::TempDir(), good = dir + "good.obj";
  Bytes b = real_object(ZIM_TABLE_ID_OLIST, 3);
  write_file(good, b);
  b[ZIM_OBJ_TOTAL_SIZE_OFFSET] ^= 1;
  write_file(dir + "bad.obj", b);
  write_file(dir + "huge.obj", fixed_part(0xffffffff));
  std::ofstream(dir + "huge.manifest") << tablegen::manifest_text({kSaturating});
  std::ofstream(dir + "escapes.manifest") << tablegen::manifest_text(
      {hand_made("\x1b[31mred\xff", {{{{ItemKind::kInline, 204, 4, 1}, "\abell\xfe\x01"}, 208}})});
  struct IoCase {
    std::string args, redirect;
    int status;
    const char* expected;
  };
  const IoCase cases[] = {
      {"decode olist " + good, "", 0, "consistent"},
      {"decode olist " + good + " --json", "", 0, "\"class\": \"counted\""},
      {"decode 268 " + dir + "bad.obj", "", 1, "problem: total_obj_size is"},
      {"decode olist -", "< " + good, 0, "consistent"},
      {"decode olist /dev/zero", "", 2, "/dev/zero is not a regular file"},
      {"decode olist " + dir, "", 2, "is not a regular file"},
      {"decode olist -", "< /dev/null", 1, "holds 0 bytes"},
      {"decode olist -", "< /dev/zero", 2, "more than 64 MiB"},
      {"decode olist /nonexistent", "", 2, "cannot read /nonexistent"},
      {"--catalogue " + dir + "huge.manifest decode huge " + dir + "huge.obj", "", 2,
       "huge.manifest:20: error: element size '4294967295' is larger than 4294901758"},
      {"layout olist", "> /dev/full", 1, "cannot write standard output: No space left"},
      {"layout olist --json", "> /dev/full", 1, "cannot write standard output"},
      {"decode olist " + good, "> /dev/full", 1, "cannot write standard output"},
      {"--help", "> /dev/full", 1, "cannot write standard output"},
      {"--version", "> /dev/full", 1, "cannot write standard output"},
      {"layout nosuch", "", 2, "no table type nosuch in the catalogue\n'zim_tables_inspect types'"},
      {"layout olsit", "", 2, "; did you mean olist?"},
      {"types", "", 0, "     268  counted           296  olist, takes a count\n"},
      {"types --json", "", 0, "\"type\": \"olist\",\n      \"class\": \"counted\""},
      {"lay olist", "", 2, "unknown subcommand lay\nthe subcommands are types, layout"},
      {"pools /x", "", 2, "unknown subcommand pools; did you mean pool?"},
      {"--json layout olist", "", 2,
       "--json is an option of types, layout, decode, pool, history, follow, save, restore: put"},
      {"layout olist --catalogue " ZIM_MANIFEST, "", 0, "olist (table id 268, counted)"},
      {"layout test_if --count 2", "", 2, "type test_if takes no count: leave out --count"},
      {"decode olist " + good + " --npus 4 --npd 16", "", 0,
       "olist (table id 268) for N 4, NPD size 16"},
      {"decode olist", "", 2, "decode needs TYPE and FILE, or --pool"},
      {"decode --pool /x", "", 2, "decode --pool needs --offset OFFSET or --uid UID"},
      {"decode olist " + good + " --pool /x --uid 1", "", 2, "FILE or --pool, not both"},
      {"decode olist " + good + " --offset 1", "", 2, "--offset requires --pool"},
      {"layout olist --bogus", "", 2, "--bogus"},
      {"pool /no_such_pool_here", "", 2, "cannot walk the pool /no_such_pool_here"},
      {"--catalogue /nonexistent layout olist", "", 2, "cannot read the catalogue /nonexistent"},
      {"", "", 2, "--help' for usage"},
      {"--catalogue " + dir + "escapes.manifest layout 0", "", 2, "\\x1b"},
      {"layout \"$(printf '\\033[2J\\007')\"", "", 2, "\\x1b"},
      {"pool \"/$(printf '\\033[2J')\"", "", 2, "\\x1b"},
      // A name cannot forge a line of a message.
      {"decode olist \"$(printf 'a\\nb')\"", "", 2, "cannot read a\\x0ab: No such file"},
      {"layout \"$(printf 'x\\ny')\"", "", 2, "no table type x\\x0ay in the catalogue"},
      {"pool \"$(printf '/a\\nb')\"", "", 2, "cannot walk the pool /a\\x0ab: no pool of that name"},
      {"decode --pool \"$(printf 'a\\nb')\" --uid 1", "", 2, "starts with \"/\" (as in /a\\x0ab)"},
      {"--catalogue \"$(printf '/no\\nsuch')\" types", "", 2, "catalogue /no\\x0asuch:"},
      {"\"$(printf 'lay\\nout')\"", "", 2, "unknown subcommand lay\\x0aout;"},
      // Only plain decimal numbers within the option's range.
      {"decode --pool /x --offset -1", "", 2, "'-1' is not a decimal number from 0 to"},
      {"decode --pool /x --offset 18446744073709551616", "", 2, "not a decimal number"},
      {"decode --pool /x --offset 0x10", "", 2, "not a decimal number"},  // nor signs, blanks
      {"layout olist --npus 4294967296", "", 2, "not a decimal number from 0 to 4294967295"},
  };
  for (const IoCase& c : cases) {
    SCOPED_TRACE(c.args + " " + c.redirect);
    const RunResult r = run_tool(c.args, c.redirect);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    EXPECT_TRUE(std::all_of(r.out.begin(), r.out.end(), printable)) << r.out;
    if (c.args.find("--json") != std::string::npos && c.redirect.empty() && c.status != 2) {
      EXPECT_FALSE(Json::parse(r.out, nullptr, false).is_discarded()) << r.out;
    }
  }
}

TEST(CommandLine, ByteMapCoversTheObjectWithoutGapsOrOverlaps) {
  const RunResult map = run_tool("layout testdynhg --npus 3 --npd 5 --count 2 --json");
  ASSERT_EQ(map.status, 0) << map.out;
  const Json layout = Json::parse(map.out);
  uint64_t at = 0;
  for (const auto& r : layout["regions"]) {
    EXPECT_EQ(r["offset"], at) << r["what"];
    at += r["size"].get<uint64_t>();
  }
  EXPECT_EQ(at, layout["size"]);
  EXPECT_EQ(at, ZIM_TESTDYNHG_OBJECT_SIZE(3, 5, 2));
}

// An 18 MB object is read where it lies: text and JSON take little memory,
// and a file cut short while it is read is an error, not a signal.
TEST(CommandLine, LargeObjectIsReadWhereItLies) {
  const std::string big = ::testing::TempDir() + "big.obj";
  write_file(big, real_object(ZIM_TABLE_ID_OLIST, 1000000));
  for (const char* format : {"", "--json"}) {
    const RunResult r = run_tool("decode olist " + big + " " + format, "> /dev/null");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_LT(r.max_rss_kib, kSmallRssKib) << format;
  }
  const RunResult cut =
      run_tool("decode olist " + big, "", [&] { EXPECT_EQ(truncate(big.c_str(), 4096), 0); });
  EXPECT_EQ(cut.status, 2) << cut.out.substr(cut.out.size() -
                                             std::min<size_t>(cut.out.size(), 300));
  EXPECT_NE(cut.out.find("error: " + big + " was cut short while it was read"), std::string::npos);
}

// Another process fills a pool with a 512 MiB untyped block, objects of every
// type (343 chunks of 64 KiB) and an olist of a million elements (18 MB),
// damages one and publishes it through the root slot, and retires another (as
// a migration does: its block header retagged); this one walks it by name. Neither the walk nor a
// decode from the pool copies a block: each takes little memory, where a copy of the blocks would
// take their size.
TEST(Pool, WalksAPoolWrittenByAnotherProcess) {
  const std::string name = "/zim_inspect_test." + std::to_string(getpid());
  uint64_t untyped_at = 0;
  const int created = zim_sim_test::run_in_child([&] {
    if (zim_shm_pool_create(name.c_str(), 640u << 20) != 0) return 1;
    if (zim_shm_pool_calloc_untyped(512u << 20) == nullptr) return 2;
    void* damaged = nullptr;
    for (size_t id = 0; id < cat::type_count; ++id) {
      void* obj = cat::types[id].ops.srv_ctor_with_shm(2);
      if (id == ZIM_TABLE_ID_OLIST) damaged = obj;
      if (id == ZIM_TABLE_ID_TESTDYNHG) {
        std::memcpy(static_cast<char*>(obj) - ZIM_SHM_POOL_BLOCK_HEADER_SIZE, "zret", 4);
      }
    }
    static_cast<unsigned char*>(damaged)[ZIM_OLIST_FIELD_2_PTR] ^= 0x20;
    zim_shm_pool_set_root(zim_shm_pool_offset_of(damaged));
    std::memset(zim_shm_pool_calloc_untyped(100), 0x5a, 100);
    return cat::types[ZIM_TABLE_ID_OLIST].ops.srv_ctor_with_shm(1000000) ? 0 : 3;
  });
  ASSERT_EQ(created, 0) << "the pool's creator failed";
  const RunResult r = run_tool("pool " + name + " --json");
  ASSERT_EQ(r.status, 1) << r.out;
  EXPECT_LT(r.max_rss_kib, kSmallRssKib);
  const Json pool = Json::parse(r.out);
  EXPECT_EQ(pool["objects"], cat::type_count);
  EXPECT_EQ(pool["retired_blocks"], 1);
  EXPECT_TRUE(pool["damaged"].empty());
  // The pool's records: its creator's N, and the layout of every type this
  // program carries a note for, which each table id is checked against.
  EXPECT_TRUE(pool["problems"].empty()) << pool["problems"].front().dump();
  EXPECT_EQ(pool["records"]["config"]["npus"], hulcon_config_get_max_num_npus());
  EXPECT_EQ(pool["records"]["layout_records"].size(), cat::type_count);
  EXPECT_TRUE(std::all_of(pool["tables"].begin(), pool["tables"].end(),
                          [](const Json& t) { return t["layout"] == "pool"; }));
  ASSERT_EQ(pool["untyped"].size(), 2u);
  EXPECT_EQ(pool["untyped"][0]["size"], 512u << 20);
  EXPECT_EQ(pool["untyped"][1]["size"], 100);
  untyped_at = pool["untyped"][1]["offset"].get<uint64_t>();
  std::vector<std::string> problems;
  for (const auto& t : pool["tables"])
    for (const auto& p : t["problems"])
      problems.push_back(t["type"].get<std::string>() + ": " + p["problem"].get<std::string>());
  ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
  EXPECT_NE(problems[0].find("olist: data pointer of field 2"), std::string::npos) << problems[0];
  const std::string olist_at = pool["root"]["offset"].dump();
  EXPECT_EQ(pool["root"]["type"], "olist");
  EXPECT_EQ(pool["root"]["consistent"], false);

  // The damaged olist, found by its offset and by its uid, decodes with the
  // header that layout gives for its count; an untyped block and a place
  // where no block starts are refused.
  std::string uid = "?", retired_at = "?";
  const Json listed = Json::parse(run_tool("pool " + name + " --list --json").out);
  for (const auto& b : listed["blocks"]) {
    if (b["offset"].dump() == olist_at) uid = b["uid"].dump();
    if (b["retired"] == true) retired_at = b["offset"].dump();
  }
  const std::string from = "decode --pool " + name;
  const Json layout = Json::parse(run_tool("layout olist --count 2 --json").out);
  // N and the NPD size come from the pool: the command line may repeat them, not contradict them.
  const uint32_t n = hulcon_config_get_max_num_npus(),
                 npd = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  const std::string agreeing = " --npus " + std::to_string(n) + " --npd " + std::to_string(npd);
  for (const std::string& key :
       {"--offset " + olist_at, "--uid " + uid, "olist --uid " + uid + agreeing}) {
    SCOPED_TRACE(key);
    const RunResult d = run_tool(from + " " + key + " --json");
    EXPECT_EQ(d.status, 1) << d.out;
    EXPECT_LT(d.max_rss_kib, kSmallRssKib);
    const Json object = Json::parse(d.out, nullptr, false);
    for (const char* k : {"type", "table_id", "class", "npus", "npd_size", "count", "size"}) {
      EXPECT_EQ(object.value(k, Json()), layout[k]) << k;
    }
  }
  const RunResult retired = run_tool(from + " --offset " + retired_at);
  EXPECT_EQ(retired.status, 0) << retired.out;
  EXPECT_NE(retired.out.find("testdynhg (table id 6) for N "), std::string::npos) << retired.out;
  EXPECT_NE(retired.out.find("\nretired block: no live object"), std::string::npos) << retired.out;
  const std::pair<std::string, std::string> refused[] = {
      {"--offset " + olist_at + " --npus " + std::to_string(n + 1),
       "--npus " + std::to_string(n + 1) + " disagrees with the pool, made for N " +
           std::to_string(n)},
      {"--offset " + olist_at + " --npd " + std::to_string(npd + 1),
       "disagrees with the pool, made for NPD size " + std::to_string(npd) + " for table id 268"},
      {"--offset " + std::to_string(untyped_at), "is an untyped block of 100 bytes"},
      {"--offset 16385", "no block starts at offset 16385"},
      {"--uid 4000000000", "no object holds uid 4000000000"},
  };
  for (const auto& [key, expected] : refused) {
    const RunResult d = run_tool(from + " " + key);
    EXPECT_EQ(d.status, 2) << d.out;
    EXPECT_NE(d.out.find(expected), std::string::npos) << d.out;
  }
  const RunResult follow = run_tool("follow " + name);  // no feed to follow
  EXPECT_EQ(follow.status, 2) << follow.out;
  EXPECT_NE(follow.out.find("it is not a versioned pool"), std::string::npos) << follow.out;

  // The root slot as the report shows it, set by a process that attaches.
  const std::pair<uint64_t, const char*> roots[] = {
      {untyped_at, "root record: 100 bytes at offset "},
      {16385, "problem: the root slot names offset 16385, where no block starts"},
  };
  for (const auto& [root, expected] : roots) {
    ASSERT_EQ(zim_sim_test::run_in_child([&, root = root] {
                if (zim_shm_pool_attach(name.c_str()) != 0) return 1;
                zim_shm_pool_set_root(root);
                return 0;
              }),
              0);
    const RunResult text = run_tool("pool " + name);
    EXPECT_NE(text.out.find(expected), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("olist: 2 objects, 0 empty blocks, "), std::string::npos) << text.out;
  }
  shm_unlink(name.c_str());
}

// Each reason why a pool cannot be walked has its own message.
TEST(Pool, EachFaultHasItsOwnMessage) {
  static uint32_t fault;
  const auto failing = [](const char*, int (*)(const zim_shm_pool_piece_t*, void*), void*,
                          zim_shm_pool_walk_facts_t* facts) {
    *facts = {0, fault, 4};
    errno = fault == ZIM_SHM_POOL_FAULT_SHRANK ? ENODATA : EINVAL;
    return -1;
  };
  zim_inspect::PoolContext context;
  context.types = &layouts();
  context.sizing = platform_sizing;
  context.walk = failing;
  std::set<std::string> messages;
  for (fault = ZIM_SHM_POOL_FAULT_NAME; fault <= ZIM_SHM_POOL_FAULT_SHRANK; ++fault) {
    std::string error;
    EXPECT_FALSE(zim_inspect::inspect_pool("/pool", context, error));
    EXPECT_EQ(error.find("Invalid argument"), std::string::npos) << error;
    messages.insert(error);
  }
  EXPECT_EQ(messages.size(), size_t{ZIM_SHM_POOL_FAULT_SHRANK});
  EXPECT_EQ(messages.count("the pool's segment shrank during the walk"), 1u);
  EXPECT_EQ(messages.count("the pool has layout version 4, which this build does not read"), 1u);
}

}  // namespace
