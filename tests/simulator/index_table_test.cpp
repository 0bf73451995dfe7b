// SPDX-License-Identifier: Apache-2.0
// The index against a model of it, under workloads that crowd keys into
// clusters, and its open and reads facing bytes that no index wrote.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "index/index_probe_inline.hpp"
#include "index/index_slots.hpp"
#include "index_test_util.hpp"

namespace zim_sim_test {
namespace {

using zim_sim::Index;
using zim_sim::IndexFound;
using zim_sim::IndexPut;
using zim_sim::IndexValue;

const struct Workload {
  const char* what;
  uint64_t capacity;
  std::vector<uint32_t> table_ids;
  uint64_t span;  // > 0: each id's keys start their probes in `span` slots
  bool wraps;     // those slots end at the last one
  size_t keys;    // per table id
  unsigned operations;
} kWorkloads[] = {
    {"keys spread over several table ids", 200, {0, 1, 7, 65535, 0xffffffffu}, 0, false, 80, 20000},
    {"one cluster from the first slot", 24, {3, 4}, 3, false, 20, 8000},
    {"a cluster that wraps past the last slot", 24, {3}, 3, true, 30, 8000},
    {"more keys than room", 8, {1, 2}, 0, false, 12, 4000},
    {"room for one key", 1, {9}, 0, false, 3, 500},
};

void PrintTo(const Workload& workload, std::ostream* os) { *os << workload.what; }

class IndexWorkloadTest : public testing::TestWithParam<Workload> {
 protected:
  void SetUp() override {
    const Workload& w = GetParam();
    region_ = std::vector<uint64_t>(zim_sim::index_bytes(w.capacity) / 8);
    ASSERT_TRUE(zim_sim::index_init(region_.data(), region_.size() * 8, w.capacity, &index_));
    const uint64_t home = w.wraps ? index_.slot_count - w.span : 0;
    for (uint32_t id : w.table_ids) {
      std::vector<uint64_t> keys(w.keys);
      for (uint64_t key = 0; key < w.keys; ++key) keys[key] = key;
      if (w.span != 0) keys = colliding_keys(id, index_.slot_count, home, w.span, w.keys);
      for (uint64_t key : keys) universe_.push_back({id, key});
    }
  }

  // Every key reads as the model says, and the slots hold the model.
  void expect_model() {
    ASSERT_EQ(zim_sim::index_check(index_), "");
    EXPECT_EQ(index_contents(index_), model_);
    for (const IndexKey& k : universe_) {
      IndexValue v;
      const IndexFound found = zim_sim::index_get(index_, k.first, k.second, &v);
      const auto it = model_.find(k);
      ASSERT_EQ(found, it == model_.end() ? IndexFound::kAbsent : IndexFound::kFound);
      if (it != model_.end()) {
        EXPECT_TRUE(v == it->second);
      }
      // The pool's inline probe finds nothing else, and finds every key it
      // reaches without passing the last slot.
      IndexValue inline_value;
      const bool before_the_wrap =
          it != model_.end() && zim_sim::index_probe(index_, k.first, k.second).slot >=
                                    zim_sim::index_home(k.first, k.second, index_.slot_count);
      if (zim_sim::index_find_present(index_, k.first, k.second, &inline_value)) {
        EXPECT_TRUE(it != model_.end() && inline_value == it->second);
      } else {
        EXPECT_FALSE(before_the_wrap);
      }
    }
  }

  void put(const IndexKey& k, IndexValue v) {
    IndexValue old;
    const IndexPut result = zim_sim::index_put(index_, k.first, k.second, v, &old);
    const auto it = model_.find(k);
    if (it != model_.end()) {
      ASSERT_EQ(result, IndexPut::kReplaced);
      EXPECT_TRUE(old == it->second);
    } else {
      ASSERT_EQ(result, model_.size() < GetParam().capacity ? IndexPut::kAdded : IndexPut::kFull);
      if (result == IndexPut::kFull) return;
    }
    model_[k] = v;
  }

  void remove(const IndexKey& k) {
    IndexValue old;
    const auto it = model_.find(k);
    ASSERT_EQ(zim_sim::index_remove(index_, k.first, k.second, &old), it != model_.end());
    if (it == model_.end()) return;
    EXPECT_TRUE(old == it->second);
    model_.erase(it);
  }

  void rewrite(uint64_t pool_id, uint64_t offset) {
    uint64_t expected = 0;
    for (auto& [k, v] : model_) {
      if (v.pool_id == pool_id) v.offset = offset, ++expected;
    }
    EXPECT_EQ(zim_sim::index_rewrite_offset(index_, pool_id, offset), expected);
  }

  std::vector<uint64_t> region_;
  Index index_;
  std::vector<IndexKey> universe_;
  IndexModel model_;
};

TEST_P(IndexWorkloadTest, MatchesItsModel) {
  std::mt19937_64 rng(GetParam().capacity);
  for (unsigned op = 0; op < GetParam().operations; ++op) {
    const IndexKey& k = universe_[rng() % universe_.size()];
    const uint64_t pool_id = 1 + rng() % 16;  // shared by several keys at times
    const unsigned kind = rng() % 10;
    if (kind < 5) {
      ASSERT_NO_FATAL_FAILURE(put(k, {16 * (rng() % 100000), pool_id}));
    } else if (kind < 9) {
      ASSERT_NO_FATAL_FAILURE(remove(k));
    } else {
      rewrite(pool_id, 16 * (rng() % 100000));
    }
    if (op % 64 == 0) {
      ASSERT_NO_FATAL_FAILURE(expect_model()) << "after operation " << op;
    }
  }
  ASSERT_NO_FATAL_FAILURE(expect_model());
}

INSTANTIATE_TEST_SUITE_P(Workloads, IndexWorkloadTest, testing::ValuesIn(kWorkloads));

// Region words by index: 0 magic, 1 format, 2 capacity, 3 slot count, 4 live, 6 pending.
TEST(IndexOpenTest, RefusesHeadersThatDoNotDescribeAnIndexThatFits) {
  constexpr uint64_t kCapacity = 16;
  constexpr size_t kUnchanged = ~size_t{0};
  const uint64_t bytes = zim_sim::index_bytes(kCapacity);
  const struct {
    const char* what;
    size_t word;  // set to value
    uint64_t value;
    uint64_t bytes;
    size_t misalign;
    const char* says;
  } cases[] = {
      {"the index as made", kUnchanged, 0, bytes, 0, ""},
      {"another magic", 0, 0x3178646e696d6979, bytes, 0, "no index here"},
      {"another format", 1, 2 | uint64_t{64} << 32, bytes, 0, "format word"},
      {"another slot size", 1, 1 | uint64_t{56} << 32, bytes, 0, "format word"},
      {"no capacity", 2, 0, bytes, 0, "capacity of 0"},
      {"too large a capacity", 2, zim_sim::kIndexMaxCapacity + 1, bytes, 0, "not 1 to"},
      {"slots for another capacity", 3, 2 * kCapacity + 2, bytes, 0, "34 slots for 16"},
      {"a region one byte short", kUnchanged, 0, bytes - 1, 0, "needs more"},
      {"a region shorter than the header", kUnchanged, 0, 127, 0,
       "smaller than its 128-byte header"},
      {"a misaligned region", kUnchanged, 0, bytes, 4, "not 8-byte aligned"},
      {"an unknown operation pending", 6, 4, bytes, 0, "pending operation is 4"},
      {"more keys counted than it holds", 4, kCapacity + 1, bytes, 0, "more than its capacity"},
  };
  for (const auto& c : cases) {
    std::vector<uint64_t> region(bytes / 8 + 1);
    Index index;
    ASSERT_TRUE(zim_sim::index_init(region.data(), bytes, kCapacity, &index));
    if (c.word != kUnchanged) region[c.word] = c.value;
    std::string why;
    const bool opened = zim_sim::index_open(reinterpret_cast<char*>(region.data()) + c.misalign,
                                            c.bytes, &index, &why);
    EXPECT_EQ(opened, *c.says == '\0') << c.what;
    EXPECT_NE(why.find(c.says), std::string::npos) << c.what << ": " << why;
    if (opened) {
      EXPECT_EQ(index.slot_count, 2 * kCapacity);
    }
  }
}

// Slots of any bytes: reads stay in the region and end, a writer refuses
// what it cannot place, and the check names the damage.
TEST(IndexOpenTest, SlotsOfAnyBytesAreReadWithinBounds) {
  constexpr uint64_t kCapacity = 64;
  for (const uint64_t control : {0x0000000500000001ull, 0ull}) {
    std::vector<uint64_t> region(zim_sim::index_bytes(kCapacity) / 8);
    Index index;
    ASSERT_TRUE(zim_sim::index_init(region.data(), region.size() * 8, kCapacity, &index));
    std::mt19937_64 rng(control);
    for (size_t word = 16; word < region.size(); ++word) region[word] = rng();
    // control 0: random control words; else every slot occupied by table id 5.
    for (size_t slot = 0; slot < index.slot_count && control != 0; ++slot) {
      region[16 + 8 * slot] = control;
    }
    IndexValue v;
    for (uint64_t key = 0; key < 1000; ++key) {
      const IndexFound found = zim_sim::index_get(index, key % 7, key, &v);
      if (control != 0) {
        EXPECT_EQ(found, IndexFound::kAbsent);
      }
      // The pool's inline probe, over slots occupied to the last.
      EXPECT_FALSE(zim_sim::index_find_present(index, key % 7, key, &v));
    }
    zim_sim::IndexItem item;
    for (uint64_t slot = 0; slot <= index.slot_count + 1; ++slot) {
      zim_sim::index_read_slot(index, slot, &item);
    }
    EXPECT_NE(zim_sim::index_check(index), "");
    if (control != 0) {
      EXPECT_EQ(zim_sim::index_put(index, 6, 1, {}, &v), IndexPut::kFull);
    }
  }
}

}  // namespace
}  // namespace zim_sim_test
