// SPDX-License-Identifier: Apache-2.0
// The accessors' writers in a versioned pool: a set or clear outside this
// process's open write of the object ends the process naming the accessor,
// inside one it writes; heap objects and objects of pools without versions
// are written as always. And the C++ scope guard around a write.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <zim/tables/write_scope.hpp>

#include "snapshot_test_util.hpp"

namespace zim_test {
namespace {

enum class Where { kVersionedPool, kPlainPool, kHeap };

qor_olist_obj* make_olist(Where where) {
  qor_olist_obj* obj =
      where == Where::kHeap ? qor_srv_olist_ctor(2) : zim_srv_olist_ctor_with_shm(2);
  // A versioned pool's new object is under way until its first write_end.
  if (obj != nullptr && where == Where::kVersionedPool) zim_shm_pool_write_end(obj);
  return obj;
}

struct WriteCase {
  const char* what;
  Where where;
  bool in_bracket;
  std::function<void(qor_olist_obj*)> write;
  const char* report;  // the accessor the process ends naming, or null: it writes
};

TEST(WriteBracketTest, AWriteOutsideABracketOfAVersionedPoolEndsNamingTheAccessor) {
  const auto set5 = [](qor_olist_obj* o) { zim_olist_set_field_5(o, 9); };
  const auto clear4 = [](qor_olist_obj* o) { zim_olist_clear_field_4(o); };
  const auto set_element = [](qor_olist_obj* o) { zim_olist_set_field_2(o, 1, 9); };
  const auto clear_run = [](qor_olist_obj* o) { zim_olist_clear_field_0(o, 1); };
  const WriteCase cases[] = {
      {"set, versioned", Where::kVersionedPool, false, set5, "zim_olist_set_field_5"},
      {"clear, versioned", Where::kVersionedPool, false, clear4, "zim_olist_clear_field_4"},
      {"element set, versioned", Where::kVersionedPool, false, set_element,
       "zim_olist_set_field_2"},
      {"run clear, versioned", Where::kVersionedPool, false, clear_run, "zim_olist_clear_field_0"},
      {"set in a bracket", Where::kVersionedPool, true, set5, nullptr},
      {"element set in a bracket", Where::kVersionedPool, true, set_element, nullptr},
      {"set, pool without versions", Where::kPlainPool, false, set5, nullptr},
      {"clear, heap", Where::kHeap, false, clear4, nullptr},
      {"set, heap", Where::kHeap, false, set_element, nullptr},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [status, err] = run_in_child_stderr([&] {
      const VersionedPool pool(c.where == Where::kVersionedPool);
      qor_olist_obj* obj = pool.ok() ? make_olist(c.where) : nullptr;
      if (obj == nullptr) return 2;
      if (c.in_bracket && zim_shm_pool_write_begin(obj) != 0) return 3;
      c.write(obj);
      if (c.in_bracket && zim_shm_pool_write_end(obj) != 0) return 4;
      return 0;
    });
    if (c.report == nullptr) {
      EXPECT_EQ(status, 0) << err;
    } else {
      EXPECT_EQ(status, -1);  // ended by the report, not exited
      EXPECT_NE(err.find(c.report), std::string::npos) << err;
      EXPECT_NE(err.find("a write of obj is open"), std::string::npos) << err;
    }
  }
}

TEST(WriteBracketTest, AnotherProcessesBracketDoesNotOpenOneHere) {
  const VersionedPool pool;
  ASSERT_TRUE(pool.ok());
  qor_olist_obj* obj = make_olist(Where::kVersionedPool);
  ASSERT_NE(obj, nullptr);
  ASSERT_EQ(zim_shm_pool_write_begin(obj), 0);
  const auto [status, err] = run_in_child_stderr([&] {
    zim_shm_pool_detach();
    if (zim_shm_pool_attach(pool.name().c_str()) != 0) return 2;
    zim_olist_set_field_5(static_cast<qor_olist_obj*>(zim_shm_pool_at(zim_shm_pool_offset_of(obj))),
                          1);
    return 0;
  });
  EXPECT_EQ(status, -1);
  EXPECT_NE(err.find("zim_olist_set_field_5"), std::string::npos) << err;
  EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
}

TEST(WriteBracketTest, TheScopeOpensAndClosesTheBracketAndThrowsOnRefusal) {
  const VersionedPool pool;
  ASSERT_TRUE(pool.ok());
  qor_olist_obj* obj = make_olist(Where::kVersionedPool);
  ASSERT_NE(obj, nullptr);
  const uint64_t before = zim_shm_pool_version_of(obj);
  {
    zim_tables::write_scope scope(obj);
    EXPECT_FALSE(scope.torn());
    EXPECT_EQ(zim_shm_pool_version_of(obj), before | 1);
    zim_olist_set_field_5(obj, 5);
    try {
      zim_tables::write_scope again(obj);
      ADD_FAILURE() << "a second bracket of one object opened";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EBUSY);
    }
  }
  EXPECT_GT(zim_shm_pool_version_of(obj), before);
  EXPECT_EQ(zim_shm_pool_version_of(obj) & 1, 0u);
  zim_tables::write_scope ended_elsewhere(obj);
  ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  EXPECT_THROW(ended_elsewhere.end(), std::system_error);
}

}  // namespace
}  // namespace zim_test
