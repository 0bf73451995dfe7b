// SPDX-License-Identifier: Apache-2.0
// A snapshot's block comes from malloc, which does not zero it: every byte
// of a snapshot must come from the object (or be the size and count the
// snapshot checked). Each object of every type, from the heap and from a
// versioned pool, is snapshotted twice while malloc hands out blocks filled
// with two different bytes (glibc's perturbation, with the per-thread cache
// off for this process: GLIBC_TUNABLES in the test's environment); both
// snapshots and the object must agree byte for byte once their pointers are
// fixed for one common place.
#include <gtest/gtest.h>
#include <malloc.h>
#include <zim/sim/pool_versions.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "snapshot_test_util.hpp"
#include "zim/tables/catalogue.hpp"

namespace zim_test {
namespace {

namespace cat = zim_tables::catalogue;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFills[] = {0xa5, 0x5a};

// From now on malloc's blocks are filled with fill (glibc writes the
// complement of the perturbation byte into a block it hands out).
void dirty_heap(uint8_t fill) { mallopt(M_PERTURB, fill ^ 0xff); }
void clean_heap() { mallopt(M_PERTURB, 0); }

bool heap_hands_out(uint8_t fill, size_t size) {
  dirty_heap(fill);
  auto* block = static_cast<uint8_t*>(std::malloc(size));
  bool filled = block != nullptr;
  for (size_t i = 0; filled && i < size; ++i) filled = block[i] == fill;
  std::free(block);
  clean_heap();
  return filled;
}

uint32_t total_size(const void* obj) {
  uint32_t size;
  std::memcpy(&size, static_cast<const uint8_t*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof size);
  return size;
}

// Every element of every field set to bytes of its own, so that a byte the
// snapshot did not copy shows.
void fill_fields(const cat::TableType& t, void* obj) {
  for (uint32_t f = 0; f < t.field_count; ++f) {
    const cat::FieldItem& item = t.fields[f];
    const uint32_t length = item.access.length(obj);
    for (uint32_t i = 0; i < length; ++i) {
      const Bytes value(item.width, static_cast<uint8_t>(f * 31 + i + 1));
      item.access.set(obj, i, value.data());
    }
  }
}

// The object's bytes with its pointers fixed for one place, the same for
// every object given, so that copies at different addresses compare.
class Images {
 public:
  Bytes of(const cat::TableType& t, const void* obj) {
    const uint32_t size = total_size(obj);
    if (place_.size() < size) place_.resize(size);
    std::memcpy(place_.data(), obj, size);
    t.ops.fix_ptrs(qor_npd_get_table_size(t.table_id), place_.data());
    return Bytes(place_.begin(), place_.begin() + size);
  }

 private:
  Bytes place_ = Bytes(1u << 20);
};

enum class Where { kHeap, kVersionedPool };

struct Case {
  Where where;
  uint32_t count;  // for the types that take one
  const char* name;
};

constexpr Case kCases[] = {
    {Where::kHeap, 0, "heap, count 0"},
    {Where::kHeap, 8, "heap, count 8"},
    {Where::kVersionedPool, 0, "versioned pool, count 0"},
    {Where::kVersionedPool, 8, "versioned pool, count 8"},
};

// The object a case snapshots: from the heap constructor, filled, and for the
// pool copied there and its first write ended (a whole version).
void* object_of(const cat::TableType& t, const Case& c) {
  void* heap = t.ops.srv_ctor(c.count);
  fill_fields(t, heap);
  if (c.where == Where::kHeap) return heap;
  void* pooled = t.ops.copy_ctor_with_shm(heap);
  std::free(heap);
  if (pooled == nullptr || zim_shm_pool_write_end(pooled) != 0) return nullptr;
  return pooled;
}

TEST(SnapshotBytesTest, EveryByteOfASnapshotComesFromItsObjectWhateverTheHeapHeld) {
  if (!heap_hands_out(kFills[0], 64) || !heap_hands_out(kFills[1], 4096)) {
    GTEST_SKIP() << "malloc hands out blocks as they were: this allocator takes no "
                    "perturbation (GLIBC_TUNABLES=glibc.malloc.tcache_count=0 is needed)";
  }
  const VersionedPool pool(true, uint64_t{64} << 20);  // every type's objects, twice
  ASSERT_TRUE(pool.ok());
  Images images;
  for (const Case& c : kCases) {
    for (size_t i = 0; i < cat::type_count; ++i) {
      const cat::TableType& t = cat::types[i];
      SCOPED_TRACE(std::string(t.name) + ", " + c.name);
      void* obj = object_of(t, c);
      ASSERT_NE(obj, nullptr);
      const Bytes expected = images.of(t, obj);
      for (const uint8_t fill : kFills) {
        dirty_heap(fill);
        void* copy = t.snapshot(obj);
        clean_heap();
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(images.of(t, copy), expected) << "heap filled with " << int{fill};
        std::free(copy);
      }
      if (c.where == Where::kHeap) std::free(obj);
    }
  }
}

}  // namespace
}  // namespace zim_test
