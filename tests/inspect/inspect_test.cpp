#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "catalogue.hpp"
#include "decode.hpp"
#include "manifest.hpp"
#include "pool.hpp"
#include "zim/sim/shm_pool.h"
#include "zim/tables/all_tables.h"
#include "zim/tables/catalogue.hpp"

namespace {

namespace cat = zim_tables::catalogue;
using zim_inspect::Decoded;
using zim_inspect::json;
using zim_inspect::Sizing;
using zim_inspect::TypeLayout;
using bytes = std::vector<unsigned char>;

const std::vector<TypeLayout>& layouts() {
  static const std::vector<TypeLayout> all = [] {
    tablegen::Diagnostics diags;
    auto loaded = tablegen::load_layouts(ZIM_MANIFEST, diags);
    return loaded ? *loaded : std::vector<TypeLayout>{};
  }();
  return all;
}

Sizing platform_sizing(uint32_t table_id) {
  return {hulcon_config_get_max_num_npus(), qor_npd_get_table_size(table_id), 0};
}

bytes object_bytes(const void* obj) {
  uint32_t size;
  std::memcpy(&size, static_cast<const unsigned char*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET, 4);
  const auto* p = static_cast<const unsigned char*>(obj);
  return bytes(p, p + size);
}

Decoded decode_object(uint32_t table_id, const bytes& b) {
  return zim_inspect::decode(layouts()[table_id], b, platform_sizing(table_id));
}

// Fresh and moved objects of every type and count: consistent, every array
// read in full.
TEST(Decode, RealObjectsOfEveryTypeAreConsistent) {
  ASSERT_EQ(layouts().size(), cat::type_count);
  for (size_t id = 0; id < cat::type_count; ++id) {
    const cat::table_type& t = cat::types[id];
    for (uint32_t count :
         t.takes_count() ? std::vector<uint32_t>{0, 3} : std::vector<uint32_t>{0}) {
      SCOPED_TRACE(std::string(t.name) + " count " + std::to_string(count));
      void* obj = t.ops.srv_ctor(count);
      const bytes b = object_bytes(obj);  // a copy elsewhere: the pointers still name obj
      std::free(obj);
      const Decoded d = decode_object(t.table_id, b);
      EXPECT_EQ(d.problems, std::vector<std::string>{});
      EXPECT_EQ(d.view["size"], b.size());
      for (const auto& a : d.view["arrays"]) EXPECT_EQ(a["elements"].size(), a["length"]);
    }
  }
}

template <typename V>
void put(bytes& b, uint64_t at, V v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

// Each kind of damage to an olist with count 3 (field 2 is its first
// counted array) and a test_if, reported precisely and by itself.
TEST(Decode, EachDamageIsReportedAlone) {
  struct damage {
    const char* what;
    uint32_t table_id;
    std::function<void(bytes&)> apply;
    const char* expected;
  };
  const uint32_t olist = ZIM_TABLE_ID_OLIST, test_if = ZIM_TABLE_ID_TEST_IF;
  const damage cases[] = {
      {"moved data pointer", olist, [](bytes& b) { b[ZIM_OLIST_FIELD_2_PTR] ^= 0x40; },
       "data pointer of field 2 is 0x"},
      {"null flag pointer", olist,
       [](bytes& b) { put<uint64_t>(b, ZIM_OLIST_FIELD_3_FLAGS_PTR, 0); },
       "flag pointer of field 3 is null, expected 0x"},
      {"per-NPU pointer moved", test_if, [](bytes& b) { b[ZIM_TEST_IF_FIELD_10_PTR] ^= 0x08; },
       "data pointer of field 10 is 0x"},
      {"wrong size", olist, [](bytes& b) { b[ZIM_OBJ_TOTAL_SIZE_OFFSET] ^= 1; },
       "total_obj_size is "},
      {"wrong table id", test_if, [](bytes& b) { put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, 7); },
       "table_id is 7, expected 0 (test_if)"},
      {"not allocated", test_if, [](bytes& b) { b[ZIM_OBJ_ALLOC_STATE_OFFSET] = 0; },
       "alloc_state is 0, expected 1"},
      {"npd_present wrong", test_if, [](bytes& b) { b[ZIM_TEST_IF_NPD_PRESENT_OFFSET] ^= 1; },
       "npd_present is "},
      {"truncated", olist, [](bytes& b) { b.resize(ZIM_FIXED_SIZE_OLIST - 1); },
       "fewer than the fixed size 296"},
  };
  for (const damage& c : cases) {
    SCOPED_TRACE(c.what);
    void* obj = cat::types[c.table_id].ops.srv_ctor(3);
    bytes b = object_bytes(obj);
    std::free(obj);
    c.apply(b);
    const Decoded d = decode_object(c.table_id, b);
    ASSERT_EQ(d.problems.size(), 1u) << ::testing::PrintToString(d.problems);
    EXPECT_NE(d.problems[0].find(c.expected), std::string::npos) << d.problems[0];
    EXPECT_FALSE(d.view["consistent"].get<bool>());
  }
  // A count beyond the object's bytes: its size and its extent are both
  // wrong, and no element is read past the end.
  void* obj = cat::types[olist].ops.srv_ctor(3);
  bytes b = object_bytes(obj);
  std::free(obj);
  put<uint32_t>(b, ZIM_OLIST_COUNT_OFFSET, 1000000);
  const Decoded d = decode_object(olist, b);
  ASSERT_EQ(d.problems.size(), 2u) << ::testing::PrintToString(d.problems);
  EXPECT_NE(d.problems[1].find("beyond the 366 bytes of the object"), std::string::npos);
  EXPECT_TRUE(d.view["arrays"][0]["elements"].empty());
}

using tablegen::ItemKind;

// A layout no definition could have, built by hand: the decoder must hold
// for any layout, not only for those the manifest reader accepts.
TypeLayout hand_made(const std::string& name, uint32_t fixed_size,
                     std::optional<uint32_t> count_field, std::vector<tablegen::LayoutField> fields,
                     uint32_t npd_present) {
  TypeLayout t;
  t.name = name;
  t.type_class = tablegen::TypeClass::kCounted;
  t.fixed_size = fixed_size;
  t.count_field = count_field;
  t.size_check = true;
  t.header = {{192, 4}, {196, 4}, {200, 4}};
  t.fields = std::move(fields);
  t.npd_present = npd_present;
  return t;
}

// Two counted arrays of 4294967295-byte elements and a per-NPU one after
// them: for count 0xffffffff the placement saturates, and the flags of the
// last array once seemed to fit in an object of 296 bytes.
const TypeLayout kSaturating = hand_made("huge", 296, 200,
                                         {{ItemKind::kCountedArray, 232, 0xffffffff, 1, 272, ""},
                                          {ItemKind::kCountedArray, 240, 0xffffffff, 1, 280, ""},
                                          {ItemKind::kPerNpuArray, 248, 1048576, 1, 256, ""}},
                                         290);

bytes fixed_part(uint32_t count, size_t size = 296) {
  bytes b(296, 0);
  put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, 0);
  b[ZIM_OBJ_ALLOC_STATE_OFFSET] = 1;
  put<uint32_t>(b, 200, count);
  b.resize(size);
  return b;
}

// Layouts that no object can have: decode and check report them and read
// nothing outside the object's exactly sized bytes.
TEST(Decode, HandMadeLayoutsNeverReadOutside) {
  struct layout_case {
    const char* what;
    TypeLayout layout;
    bytes object;
    const char* expected;
  };
  const layout_case cases[] = {
      {"saturating placement", kSaturating, fixed_part(0xffffffff),
       "beyond the 296 bytes of the object"},
      {"saturating placement, short object", kSaturating, fixed_part(0xffffffff, 295),
       "fewer than the fixed size 296"},
      {"field past the fixed size",
       hand_made("past", 296, {}, {{ItemKind::kInline, 292, 0xffffffff, 0xffffffff, 0, ""}}, 290),
       fixed_part(0), "the layout of the type is unusable: a field at 292 lies outside"},
      {"fixed size below the base header",
       hand_made("small", 8, 4, {{ItemKind::kCountedArray, 0, 8, 1, 0, ""}}, 0), bytes(8, 0xff),
       "the base header lies outside the fixed size 8"},
  };
  for (const layout_case& c : cases) {
    SCOPED_TRACE(c.what);
    const Sizing sizing{8, 16, 0};
    const Decoded d = zim_inspect::decode(c.layout, c.object, sizing);
    EXPECT_EQ(zim_inspect::check(c.layout, {c.object.data(), c.object.size()}, sizing), d.problems);
    EXPECT_TRUE(std::any_of(d.problems.begin(), d.problems.end(), [&](const std::string& p) {
      return p.find(c.expected) != p.npos;
    })) << ::testing::PrintToString(d.problems);
    if (d.view.contains("arrays")) {
      for (const auto& a : d.view["arrays"]) EXPECT_TRUE(a["elements"].empty()) << a["name"];
    }
  }
}

struct run_result {
  int status;
  std::string out;
};

// `redirect` follows the tool's words in the shell command, for input and
// standard output; standard error is what the result holds then.
run_result run_tool(const std::string& args, const std::string& redirect = "") {
  const std::string command = std::string(ZIM_INSPECT_TOOL) + " " + args + " 2>&1 " + redirect;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(CommandLine, ExitStatusAndJson) {
  const std::string dir = ::testing::TempDir();
  void* obj = cat::types[ZIM_TABLE_ID_OLIST].ops.srv_ctor(3);
  bytes b = object_bytes(obj);
  std::free(obj);
  std::ofstream(dir + "good.obj", std::ios::binary)
      .write(reinterpret_cast<char*>(b.data()), b.size());
  b[ZIM_OBJ_TOTAL_SIZE_OFFSET] ^= 1;
  std::ofstream(dir + "bad.obj", std::ios::binary)
      .write(reinterpret_cast<char*>(b.data()), b.size());

  const run_result good = run_tool("decode olist " + dir + "good.obj --json");
  EXPECT_EQ(good.status, 0) << good.out;
  EXPECT_TRUE(json::parse(good.out)["consistent"].get<bool>());
  EXPECT_EQ(json::parse(good.out)["class"], "counted");
  const run_result bad = run_tool("decode 268 " + dir + "bad.obj");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("problem: total_obj_size is"), std::string::npos) << bad.out;

  // The byte map covers the object without gaps or overlaps.
  const run_result map = run_tool("layout testdynhg --npus 3 --npd 5 --count 2 --json");
  ASSERT_EQ(map.status, 0) << map.out;
  const json layout = json::parse(map.out);
  uint64_t at = 0;
  for (const auto& r : layout["regions"]) {
    EXPECT_EQ(r["offset"], at) << r["what"];
    at += r["size"].get<uint64_t>();
  }
  EXPECT_EQ(at, layout["size"]);
  EXPECT_EQ(at, ZIM_TESTDYNHG_OBJECT_SIZE(3, 5, 2));

  for (const char* args :
       {"layout nosuch", "decode olist /nonexistent", "layout olist --bogus",
        "pool /no_such_pool_here", "--catalogue /nonexistent layout olist", ""}) {
    EXPECT_EQ(run_tool(args).status, 2) << args;
  }
}

// Where decode takes its bytes from, and output that cannot be written.
TEST(CommandLine, InputsAndOutput) {
  const std::string dir = ::testing::TempDir();
  void* obj = cat::types[ZIM_TABLE_ID_OLIST].ops.srv_ctor(3);
  const bytes b = object_bytes(obj);
  std::free(obj);
  const std::string good = dir + "inputs_good.obj";
  std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  std::ofstream(dir + "huge.manifest") << tablegen::manifest_text({kSaturating});
  const bytes huge = fixed_part(0xffffffff);
  std::ofstream(dir + "huge.obj", std::ios::binary)
      .write(reinterpret_cast<const char*>(huge.data()), huge.size());
  struct io_case {
    std::string args, redirect;
    int status;
    const char* expected;
  };
  const io_case cases[] = {
      {"decode olist " + good, "", 0, "consistent"},
      {"decode olist -", "< " + good, 0, "consistent"},
      {"decode olist /dev/zero", "", 2, "/dev/zero is not a regular file"},
      {"decode olist " + dir, "", 2, "is not a regular file"},
      {"decode olist -", "< /dev/null", 1, "holds 0 bytes"},
      {"--catalogue " + dir + "huge.manifest decode huge " + dir + "huge.obj", "", 2,
       "huge.manifest:18: error: element size '4294967295' is larger than 4294901758"},
      {"layout olist", "> /dev/full", 1, "cannot write standard output: No space left"},
      {"layout olist --json", "> /dev/full", 1, "cannot write standard output"},
      {"decode olist " + good, "> /dev/full", 1, "cannot write standard output"},
      {"--help", "> /dev/full", 1, "cannot write standard output"},
      {"--version", "> /dev/full", 1, "cannot write standard output"},
  };
  for (const io_case& c : cases) {
    const run_result r = run_tool(c.args, c.redirect);
    EXPECT_EQ(r.status, c.status) << c.args << " " << c.redirect << "\n" << r.out;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.args << "\n" << r.out;
  }
  // Standard input is buffered up to its stated bound, no further.
  const run_result big = run_tool("decode olist -", "< /dev/zero");
  EXPECT_EQ(big.status, 2);
  EXPECT_NE(big.out.find("more than 64 MiB"), std::string::npos) << big.out;
}

// Names from a manifest and words from the command line reach the terminal
// escaped.
TEST(CommandLine, OutsideTextIsEscaped) {
  TypeLayout named = hand_made("\x1b[31mred\xff", 296, 200,
                               {{ItemKind::kInline, 204, 4, 1, 208, "\abell\xfe\x01"}}, 290);
  const std::string manifest = ::testing::TempDir() + "escapes.manifest";
  std::ofstream(manifest) << tablegen::manifest_text({named});
  for (const std::string& args : {"--catalogue " + manifest + " layout 0",
                                  std::string("layout \"$(printf '\\033[2J\\007')\""),
                                  std::string("pool \"/$(printf '\\033[2J')\"")}) {
    const run_result text = run_tool(args);
    EXPECT_EQ(text.status, 2) << args;
    for (unsigned char c : text.out) {
      ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << args << ": byte " << int{c};
    }
    EXPECT_NE(text.out.find("\\x1b"), std::string::npos) << args << "\n" << text.out;
  }
}

// A second process creates a pool, fills it with objects of every type,
// damages one and publishes a root record; this one walks it by name.
TEST(Pool, WalksAPoolWrittenByAnotherProcess) {
  const std::string name = "/zim_inspect_test." + std::to_string(getpid());
  const pid_t child = fork();
  if (child == 0) {  // one chunk per table id: 343 chunks of 64 KiB
    if (zim_shm_pool_create(name.c_str(), 64u << 20) != 0) _exit(1);
    void* damaged = nullptr;
    for (size_t id = 0; id < cat::type_count; ++id) {
      void* obj = cat::types[id].ops.srv_ctor_with_shm(2);
      if (id == ZIM_TABLE_ID_OLIST) damaged = obj;
    }
    static_cast<unsigned char*>(damaged)[ZIM_OLIST_FIELD_2_PTR] ^= 0x20;
    zim_shm_pool_set_root(zim_shm_pool_offset_of(zim_shm_table_pool_calloc(0, 64)));
    _exit(0);  // leaves through _exit: the pool stays
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const run_result r = run_tool("pool " + name + " --json");
  shm_unlink(name.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the pool's creator failed";
  ASSERT_EQ(r.status, 1) << r.out;
  const json pool = json::parse(r.out);
  EXPECT_EQ(pool["objects"], cat::type_count);
  EXPECT_FALSE(pool["root"].is_null());
  EXPECT_TRUE(pool["damaged"].empty());
  std::vector<std::string> problems;
  for (const auto& t : pool["tables"]) {
    for (const auto& p : t["problems"])
      problems.push_back(t["type"].get<std::string>() + ": " + p["problem"].get<std::string>());
  }
  ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
  EXPECT_NE(problems[0].find("olist: data pointer of field 2"), std::string::npos) << problems[0];
}

// A segment that shrinks under the walk is named as such, after the pieces
// visited before it.
TEST(Pool, ShrunkSegmentIsNamed) {
  const auto shrinking = [](const char*, int (*visit)(const zim_shm_pool_piece_t*, void*),
                            void* context) {
    static const unsigned char block[16] = {1};
    const zim_shm_pool_piece_t piece{16384, sizeof block, ZIM_TABLE_ID_OLIST, 0, block};
    if (visit(&piece, context) != 0) return 1;
    errno = ENODATA;
    return -1;
  };
  zim_inspect::PoolContext context{&layouts(), platform_sizing, shrinking};
  std::string error;
  EXPECT_FALSE(zim_inspect::inspect_pool("/shrinking", context, error));
  EXPECT_EQ(error, "the pool's segment shrank during the walk");
}

// A walk checks every object where it lies, keeping nothing per element: an
// olist of a million elements (18 MB) is walked in a small multiple of its
// size, where a view of its elements takes tens of bytes per byte.
TEST(Pool, WalkMemoryDoesNotGrowWithElements) {
  const std::string name = "/zim_inspect_big." + std::to_string(getpid());
  const pid_t creator = fork();
  if (creator == 0) {
    if (zim_shm_pool_create(name.c_str(), 64u << 20) != 0) _exit(1);
    if (cat::types[ZIM_TABLE_ID_OLIST].ops.srv_ctor_with_shm(1000000) == nullptr) _exit(1);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(creator, &status, 0), creator);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the pool's creator failed";
  const pid_t walker = fork();
  if (walker == 0) {
    std::freopen("/dev/null", "w", stdout);
    execl(ZIM_INSPECT_TOOL, ZIM_INSPECT_TOOL, "pool", name.c_str(), "--json",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  struct rusage usage {};
  ASSERT_EQ(wait4(walker, &status, 0, &usage), walker);
  shm_unlink(name.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::printf("peak RSS of the walk: %ld KiB\n", usage.ru_maxrss);
#ifdef __SANITIZE_ADDRESS__
  // Shadow memory and the quarantine of freed blocks come on top.
  EXPECT_LT(usage.ru_maxrss, 300 * 1024);
#else
  EXPECT_LT(usage.ru_maxrss, 150 * 1024);
#endif
}

}  // namespace

namespace {

// A catalogue of more than 1,000 types, whose file names widen at id 1000,
// as a folder of definitions and as the manifest the generator writes for it.
TEST(CommandLine, ReadsACatalogueOfMoreThanAThousandTypes) {
  const std::string dir = ::testing::TempDir() + "inspect_large." + std::to_string(getpid());
  const std::string defs = dir + "/defs", manifest = dir + "/large.manifest";
  std::filesystem::create_directories(defs);
  for (unsigned id = 0; id <= 1000; ++id) {
    char file[64];
    std::snprintf(file, sizeof file, "/%03u_type_%u.tdef", id, id);
    std::ofstream(defs + file) << "table type_" << id << "\nid " << id
                               << "\nclass fixed\nfixed_size 224\nheader 192:4 196:4\n"
                                  "flags_at 216\nsize_check off\nobj_flags_bit5 clear\nwisp "
                               << 6 * id << " " << 6 * id + 1 << " " << 6 * id + 2 << " "
                               << 6 * id + 3 << " " << 6 * id + 4 << " " << 6 * id + 5
                               << "\nfield 200:4\nfield 204:1\nfield 208:8\n";
  }
  tablegen::Diagnostics diags;
  const auto loaded = tablegen::load_layouts(defs, diags);
  ASSERT_TRUE(loaded);
  std::ofstream(manifest) << tablegen::manifest_text(*loaded);
  for (const std::string& catalogue : {defs, manifest}) {
    for (const char* type : {"1000", "type_1000", "100"}) {
      SCOPED_TRACE(catalogue + " " + type);
      const run_result r =
          run_tool("--catalogue " + catalogue + " layout " + type + " --npd 0 --json");
      ASSERT_EQ(r.status, 0) << r.out;
      const json layout = json::parse(r.out);
      const unsigned id = std::string(type) == "100" ? 100 : 1000;
      EXPECT_EQ(layout["table_id"], id);
      EXPECT_EQ(layout["type"], "type_" + std::to_string(id));
      EXPECT_EQ(layout["size"], 224u);
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
