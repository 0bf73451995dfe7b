// SPDX-License-Identifier: Apache-2.0
// The converter between two generations of a small catalogue (v1/, v2/): an
// object made by the first generation's constructor and filled, converted,
// then held byte by byte against the object the second generation's
// constructor makes for the same count with every carried value set in it.
#include "zim/tables/migration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "migration_records.hpp"
#include "zim/tables/cv1_link.h"
#include "zim/tables/cv1_members.h"
#include "zim/tables/cv1_tag.h"
#include "zim/tables/cv1_totals.h"
#include "zim/tables/cv1_uplink.h"
#include "zim/tables/cv2_link.h"
#include "zim/tables/cv2_members.h"
#include "zim/tables/cv2_tag.h"
#include "zim/tables/cv2_totals.h"
#include "zim/tables/cv2_uplink.h"
#include "zim/tables/table_object.h"

// The platform as the constructors see it, under the test's control; these
// definitions take precedence over the platform libraries'.
namespace {
uint32_t g_npus = 0, g_npd_size = 0, g_uid = 0;
}  // namespace
#define MIGRATION_TEST_EXPORT extern "C" __attribute__((visibility("default")))
MIGRATION_TEST_EXPORT uint32_t hulcon_config_get_max_num_npus(void) { return g_npus; }
MIGRATION_TEST_EXPORT uint32_t qor_npd_get_table_size(uint32_t) { return g_npd_size; }
MIGRATION_TEST_EXPORT uint32_t qor_getuid(void) { return ++g_uid; }

namespace {

using zim_codec::FieldLayout;
using zim_codec::ItemKind;
using zim_codec::TypeLayout;
using Bytes = unsigned char*;

struct Generations {
  void* (*older)(uint32_t count);
  void* (*newer)(uint32_t count);
  bool changes_objects;
};
// A generation's constructor of a type, given the count when it takes one.
#define CTOR(generation, type, args) \
  [](uint32_t n) -> void* { return (void)n, qor_srv_##generation##_##type##_ctor args; }
const std::map<std::string, Generations> kTypes = {
    {"cv2_link", {CTOR(cv1, link, ()), CTOR(cv2, link, ()), true}},
    {"cv2_uplink", {CTOR(cv1, uplink, ()), CTOR(cv2, uplink, ()), true}},
    {"cv2_members", {CTOR(cv1, members, (n)), CTOR(cv2, members, (n)), true}},
    {"cv2_totals", {CTOR(cv1, totals, ()), CTOR(cv2, totals, ()), true}},
    {"cv2_tag", {CTOR(cv1, tag, ()), CTOR(cv2, tag, ()), false}},
};

const std::vector<migration_test::RecordPair>& pairs() {
  static const auto all =
      migration_test::record_pairs(ZIM_MIGRATION_V1_MANIFEST, ZIM_MIGRATION_V2_MANIFEST);
  return all;
}
const migration_test::RecordPair& pair_named(const std::string& name) {
  for (const auto& p : pairs()) {
    if (p.newer.name == name) return p;
  }
  throw std::runtime_error("no type " + name);
}

struct Object {
  Bytes bytes;
  uint64_t size() const { return load32(ZIM_OBJ_TOTAL_SIZE_OFFSET); }
  uint32_t load32(uint64_t at) const {
    uint32_t v;
    std::memcpy(&v, bytes + at, sizeof v);
    return v;
  }
  void store32(uint64_t at, uint32_t v) { std::memcpy(bytes + at, &v, sizeof v); }
  Bytes pointer(uint32_t slot) const {
    Bytes p;
    std::memcpy(&p, bytes + slot, sizeof p);
    return p;
  }
  // Where a pointer slot points, from the object's start; -1 for null.
  int64_t relative(uint32_t slot) const {
    return pointer(slot) == nullptr ? -1 : pointer(slot) - bytes;
  }
};
using Owned = std::unique_ptr<unsigned char, decltype(&std::free)>;
Owned owned(void* p) { return Owned(static_cast<Bytes>(p), &std::free); }

unsigned char mark(uint64_t at) { return static_cast<unsigned char>(at * 151 + 7) | 0x80; }

bool constructor_field(uint32_t b) {
  return (b >= ZIM_OBJ_TOTAL_SIZE_OFFSET && b < ZIM_OBJ_TOTAL_SIZE_OFFSET + 4) ||
         b == ZIM_OBJ_TABLE_ID_OFFSET || b == ZIM_OBJ_TABLE_ID_OFFSET + 1 ||
         b == ZIM_OBJ_ALLOC_STATE_OFFSET || b == ZIM_OBJ_FLAGS_OFFSET;
}

uint64_t length(const FieldLayout& f, uint32_t npus, uint32_t count) {
  return f.kind == ItemKind::kPerNpuArray ? npus : count;
}

// Every byte the type's operations give a meaning to, marked, except the
// ones its constructor decides; arrays through the object's own pointers.
void fill(Object o, const TypeLayout& t, uint32_t npus, uint32_t count, uint32_t npd_size) {
  for (uint32_t b = 0; b < ZIM_OBJ_BASE_HEADER_SIZE; ++b) {
    if (!constructor_field(b)) o.bytes[b] = mark(b);
  }
  o.bytes[ZIM_OBJ_FLAGS_OFFSET] ^= mark(0) & ~ZIM_OBJ_FLAGS_BIT5;
  for (const auto& h : t.header) {
    if (h.offset != t.count_field) std::memset(o.bytes + h.offset, mark(h.offset), h.width);
  }
  for (const FieldLayout& f : t.fields) {
    if (!f.is_array()) {
      for (uint32_t b = 0; b < f.width * f.run_length; ++b)
        o.bytes[f.offset + b] = mark(f.offset + b);
      for (uint32_t i = 0; i < f.run_length; ++i) o.bytes[f.flag_at + i] = mark(f.flag_at + i);
      continue;
    }
    const uint64_t n = length(f, npus, count);
    for (uint64_t b = 0; b < n * f.width; ++b) o.pointer(f.offset)[b] = mark(f.offset + b);
    for (uint64_t i = 0; i < n; ++i) o.pointer(f.flag_at)[i] = mark(f.flag_at + i);
  }
  for (uint32_t b = 0; b < npd_size; ++b) o.bytes[t.fixed_size + b] = mark(b);
}

// A field's elements keyed as the migration pairs them: a named field's by
// its name (the one it was, if it says so), unnamed fields' by their running
// number.
struct Element {
  const FieldLayout* field;
  uint32_t index;  // within an inline run
};
std::map<std::string, Element> elements(const TypeLayout& t) {
  std::map<std::string, Element> out;
  int unnamed = 0;
  for (const FieldLayout& f : t.fields) {
    const std::string& name = f.was.empty() ? f.name : f.was;
    for (uint32_t i = 0; i < (f.is_array() ? 1 : f.run_length); ++i) {
      const std::string key =
          name.empty() ? "#" + std::to_string(unnamed++) : name + "/" + std::to_string(i);
      out[key] = {&f, i};
    }
  }
  return out;
}

// `width_from` bytes at `from` into a zeroed field of `width_to` bytes, as
// a value of host byte order is zero-extended.
void widen(Bytes to, uint32_t width_to, const unsigned char* from, uint32_t width_from) {
  const bool big_endian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  std::memcpy(to + (big_endian ? width_to - width_from : 0), from, width_from);
}

struct Case {
  std::string type;
  uint32_t count, npus, old_npd, new_npd;
};
std::string name_of(const Case& c) {
  return c.type + "_count" + std::to_string(c.count) + "_npus" + std::to_string(c.npus) + "_npd" +
         std::to_string(c.old_npd) + "to" + std::to_string(c.new_npd);
}
void PrintTo(const Case& c, std::ostream* out) { *out << name_of(c); }

using Plan = std::unique_ptr<zim_table_migration_t, decltype(&zim_table_migration_free)>;
Plan plan_of(const std::string& older, const std::string& newer, uint32_t npus, uint32_t old_npd,
             uint32_t new_npd, char* why, size_t why_size) {
  return Plan(zim_table_migration_plan(older.data(), older.size(), newer.data(), newer.size(), npus,
                                       old_npd, new_npd, why, why_size),
              &zim_table_migration_free);
}

// The new constructor's object made what the conversion should make of
// `old`: what the constructor decided stays; the rest of the base header,
// the type header, the carried fields and the NPD area come from the old.
// Returns the older fields carried.
std::set<const FieldLayout*> carry(Object expected, Object old, const TypeLayout& older,
                                   const TypeLayout& newer, const Case& c) {
  for (uint32_t b = 0; b < ZIM_OBJ_BASE_HEADER_SIZE; ++b) {
    if (!constructor_field(b)) expected.bytes[b] = old.bytes[b];
  }
  expected.bytes[ZIM_OBJ_FLAGS_OFFSET] ^= old.bytes[ZIM_OBJ_FLAGS_OFFSET] & ~ZIM_OBJ_FLAGS_BIT5;
  for (const auto& h : newer.header)
    std::memcpy(expected.bytes + h.offset, old.bytes + h.offset, h.width);
  if (c.old_npd == c.new_npd) {
    std::memcpy(expected.bytes + newer.fixed_size, old.bytes + older.fixed_size, c.new_npd);
  }
  const auto before = elements(older);
  std::set<const FieldLayout*> carried;
  for (const auto& [key, e] : elements(newer)) {
    const auto from = before.find(key);
    if (from == before.end()) continue;  // added: stays absent
    const FieldLayout &a = *from->second.field, &b = *e.field;
    carried.insert(&a);
    if (!b.is_array()) {
      widen(expected.bytes + b.offset + e.index * b.width, b.width,
            old.bytes + a.offset + from->second.index * a.width, a.width);
      expected.bytes[b.flag_at + e.index] = old.bytes[a.flag_at + from->second.index];
      continue;
    }
    for (uint64_t i = 0; i < length(b, c.npus, c.count); ++i) {
      widen(expected.pointer(b.offset) + i * b.width, b.width, old.pointer(a.offset) + i * a.width,
            a.width);
      expected.pointer(b.flag_at)[i] = old.pointer(a.flag_at)[i];
    }
  }
  return carried;
}

// The offsets where two objects of `newer` differ; pointers compared by
// where they point within their own object.
std::string differences(Object to, Object expected, const TypeLayout& newer, uint64_t size) {
  std::string differ;
  std::set<uint64_t> slots;
  for (const FieldLayout& f : newer.fields) {
    if (!f.is_array()) continue;
    for (const uint32_t slot : {f.offset, f.flag_at}) {
      if (to.relative(slot) != expected.relative(slot))
        differ += " pointer@" + std::to_string(slot);
      for (uint32_t b = 0; b < 8; ++b) slots.insert(slot + b);
    }
  }
  for (uint64_t b = 0; b < size; ++b) {
    if (!slots.count(b) && to.bytes[b] != expected.bytes[b]) differ += " " + std::to_string(b);
  }
  return differ;
}

// The field names the dropped list quotes, one per line.
std::multiset<std::string> quoted_names(const std::string& list) {
  std::multiset<std::string> names;
  std::istringstream lines(list);
  for (std::string line; std::getline(lines, line);) {
    const size_t name = line.find('\'') + 1;
    names.insert(line.substr(name, line.find('\'', name) - name));
  }
  return names;
}

class Conversion : public testing::TestWithParam<Case> {};

TEST_P(Conversion, CarriesEveryValueIntoTheNewConstructorsObject) {
  const Case c = GetParam();
  const auto& records = pair_named(c.type);
  g_npus = c.npus;
  g_npd_size = c.old_npd;
  const Owned old_owner = owned(kTypes.at(c.type).older(c.count));
  const Object old{old_owner.get()};
  fill(old, records.older, c.npus, c.count, c.old_npd);
  g_npd_size = c.new_npd;
  const Owned expected_owner = owned(kTypes.at(c.type).newer(c.count));
  const Object expected{expected_owner.get()};

  char why[512] = "";
  const Plan plan = plan_of(records.older_text, records.newer_text, c.npus, c.old_npd, c.new_npd,
                            why, sizeof why);
  ASSERT_NE(plan, nullptr) << why;
  EXPECT_EQ(zim_table_migration_changes_objects(plan.get()), kTypes.at(c.type).changes_objects);
  const uint64_t new_size = zim_table_migration_new_size(plan.get(), old.bytes, old.size());
  ASSERT_EQ(new_size, expected.size());
  const Owned to_owner = owned(std::calloc(1, new_size));
  const Object to{to_owner.get()};
  ASSERT_EQ(zim_table_migration_convert(plan.get(), old.bytes, old.size(), to.bytes, new_size), 0);

  const auto carried = carry(expected, old, records.older, records.newer, c);
  EXPECT_EQ(differences(to, expected, records.newer, new_size), "");
  std::multiset<std::string> dropped;
  for (const FieldLayout& f : records.older.fields) {
    if (!carried.count(&f)) dropped.insert(f.name);
  }
  EXPECT_EQ(quoted_names(zim_table_migration_dropped(plan.get())), dropped)
      << zim_table_migration_dropped(plan.get());
}

// Old objects whose bytes lie about themselves: no size, and nothing written.
TEST(Migration, RefusesUnsoundObjectsWithoutWriting) {
  const auto& records = pair_named("cv2_members");
  const TypeLayout& t = records.older;
  const uint32_t count_at = *t.count_field;
  struct Unsound {
    const char* what;
    void (*spoil)(Object o, uint64_t& bytes, uint32_t count_at);
  };
  const Unsound cases[] = {
      {"a count beyond the object's bytes",
       [](Object o, uint64_t&, uint32_t at) { o.store32(at, o.load32(at) + 1); }},
      {"the largest count", [](Object o, uint64_t&, uint32_t at) { o.store32(at, UINT32_MAX); }},
      {"total_obj_size above the bytes given", [](Object, uint64_t& bytes, uint32_t) { --bytes; }},
      {"total_obj_size below the layout's size",
       [](Object o, uint64_t& bytes, uint32_t) {
         o.store32(ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(--bytes));
       }},
      {"a sound object given another new size", nullptr},
  };
  g_npus = 2;
  g_npd_size = 0;
  const Plan plan = plan_of(records.older_text, records.newer_text, g_npus, 0, 0, nullptr, 0);
  ASSERT_NE(plan, nullptr);
  for (const Unsound& c : cases) {
    SCOPED_TRACE(c.what);
    const Owned owner = owned(kTypes.at("cv2_members").older(2));
    Object old{owner.get()};
    fill(old, t, g_npus, 2, 0);
    const uint64_t sound_size = zim_table_migration_new_size(plan.get(), old.bytes, old.size());
    ASSERT_NE(sound_size, 0u);
    uint64_t bytes = old.size();
    if (c.spoil != nullptr) c.spoil(old, bytes, count_at);
    EXPECT_EQ(zim_table_migration_new_size(plan.get(), old.bytes, bytes),
              c.spoil != nullptr ? 0 : sound_size);
    std::vector<unsigned char> to(sound_size + 1);
    for (const uint64_t size :
         {uint64_t{0}, sound_size - 1, sound_size + 1, c.spoil != nullptr ? sound_size : 0}) {
      EXPECT_EQ(zim_table_migration_convert(plan.get(), old.bytes, bytes, to.data(), size), -1);
    }
    EXPECT_EQ(std::count(to.begin(), to.end(), 0), static_cast<long>(to.size()));
  }
}

TEST(Migration, PlansRefuseWhatNoMigrationCarries) {
  const auto& link = pair_named("cv2_link");
  // Back from the newer layout to the older one: what grew would narrow.
  const std::string wider =
      zim_codec::layout_record(migration_test::renamed(link.newer, "cv1_link"));
  const std::string narrower =
      zim_codec::layout_record(migration_test::renamed(link.older, "cv1_link"));
  struct Refusal {
    std::string older, newer;
    const char* why;
  };
  const Refusal cases[] = {
      {"type 2000 cv2_link\n", link.newer_text, "older layout record"},
      {link.older_text, std::string(link.newer_text, 0, 40), "newer layout record"},
      {wider, narrower, "cv1_link (table id 2000): "},
      {link.older_text, pair_named("cv2_uplink").newer_text, "cv2_link (table id 2000): "},
  };
  for (const Refusal& c : cases) {
    char why[512] = "";
    EXPECT_EQ(plan_of(c.older, c.newer, 4, 0, 0, why, sizeof why), nullptr);
    EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
  }
  char cut[10];
  std::memset(cut, 'x', sizeof cut);
  EXPECT_EQ(plan_of(wider, narrower, 4, 0, 0, cut, sizeof cut), nullptr);
  EXPECT_EQ(std::string(cut, sizeof cut).find('\0'), sizeof cut - 1);
}

std::vector<Case> cases() {
  std::vector<Case> all;
  for (const auto& [type, generations] : kTypes) {
    for (uint32_t count : {0u, 3u}) {
      if (count != 0 && !pair_named(type).older.count_field) continue;
      for (const auto& [npus, old_npd, new_npd] :
           {std::tuple{3u, 0u, 0u}, std::tuple{3u, 5u, 5u}, std::tuple{0u, 4u, 9u}}) {
        all.push_back({type, count, npus, old_npd, new_npd});
      }
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Types, Conversion, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& c) { return name_of(c.param); });

}  // namespace
