// SPDX-License-Identifier: Apache-2.0
// The converter of objects between layouts on arbitrary old objects: whatever
// their bytes, it reads only the bytes it is given and writes only the new
// object's (the sanitizer sees each in a block of exactly its size), and an
// object it sizes converts into exactly that size. Input: a byte choosing the
// pair of layouts (the converter's test catalogues: each type from the first
// generation to the second, and each generation to itself), a byte each
// choosing N and the two NPD sizes, then the old object. Anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "migration_records.hpp"
#include "zim/tables/migration.h"
#include "zim/tables/table_object.h"

namespace {

struct Layouts {
  std::string older, newer;
};

const std::vector<Layouts>& layouts() {
  static const std::vector<Layouts> all = [] {
    std::vector<Layouts> out;
    for (const auto& p :
         migration_test::record_pairs(ZIM_MIGRATION_V1_MANIFEST, ZIM_MIGRATION_V2_MANIFEST)) {
      out.push_back({p.older_text, p.newer_text});
      out.push_back({p.older_text, p.older_text});
      out.push_back({p.newer_text, p.newer_text});
    }
    return out;
  }();
  return all;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "migration: %s\n", what);
  std::abort();
}

using Plan = std::unique_ptr<zim_table_migration_t, decltype(&zim_table_migration_free)>;

// Each plan made once: planning reads two records, far slower than a
// conversion.
const zim_table_migration_t* plan_for(size_t pair, uint32_t npus, uint32_t old_npd,
                                      uint32_t new_npd) {
  static std::map<std::tuple<size_t, uint32_t, uint32_t, uint32_t>, Plan> plans;
  const auto key = std::make_tuple(pair, npus, old_npd, new_npd);
  auto at = plans.find(key);
  if (at == plans.end()) {
    const Layouts& l = layouts()[pair];
    char why[512];
    Plan plan(zim_table_migration_plan(l.older.data(), l.older.size(), l.newer.data(),
                                       l.newer.size(), npus, old_npd, new_npd, why, sizeof why),
              &zim_table_migration_free);
    if (!plan) {
      std::fprintf(stderr, "%s", why);
      fail("a layout pair of the test catalogues is refused");
    }
    at = plans.emplace(key, std::move(plan)).first;
  }
  return at->second.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Few plans, so that they are made once each: N 0 to 3, NPD sizes even and odd.
  constexpr uint32_t kNpdSizes[] = {0, 1, 7, 16};
  const size_t pair = data[0] % layouts().size();
  const zim_table_migration_t* plan =
      plan_for(pair, data[1] % 4u, kNpdSizes[data[2] % 4], kNpdSizes[data[3] % 4]);
  const std::vector<uint8_t> old(data + 4, data + size);
  const uint64_t new_size = zim_table_migration_new_size(plan, old.data(), old.size());
  std::vector<uint8_t> to(new_size == 0 ? 1 : new_size);
  if (new_size == 0) {
    if (zim_table_migration_convert(plan, old.data(), old.size(), to.data(), 1) != -1)
      fail("an object without a new size is converted");
    return 0;
  }
  if (zim_table_migration_convert(plan, old.data(), old.size(), to.data(), new_size - 1) != -1)
    fail("an object is converted into fewer bytes than its new size");
  if (zim_table_migration_convert(plan, old.data(), old.size(), to.data(), new_size) != 0)
    fail("an object with a new size is not converted");
  uint32_t total;
  std::memcpy(&total, to.data() + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof total);
  if (total != new_size) fail("total_obj_size is not the new size");
  return 0;
}
