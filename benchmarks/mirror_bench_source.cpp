// SPDX-License-Identifier: Apache-2.0
// The source pool of zim_mirror_bench and the memory its processes share.
#include <sys/mman.h>
#include <time.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mirror_bench.hpp"

namespace zim_mirror_bench {

namespace {

constexpr uint32_t kCount = 3;
constexpr uint64_t kFeedCapacity = 1u << 20;

}  // namespace

Shared* map_shared() {
  void* map =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) fail("mmap");
  return new (map) Shared{};
}

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

void fail(const std::string& what) {
  std::fprintf(stderr, "zim_mirror_bench: %s (%s)\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// Room for the objects, their blocks' heads, the feed (48 bytes an entry) and
// the index (128 bytes a key), with a margin for the allocator.
uint64_t Source::pool_bytes(uint64_t objects) {
  return objects * (qor_olist_get_obj_size(kCount) + 128 + 128) + kFeedCapacity * 48 + (64u << 20);
}

Source::Source(const std::string& name, uint64_t objects) : name_(name) {
  const zim_shm_pool_options_t options{1, 0, kFeedCapacity, objects + 16};
  if (zim_shm_pool_create_with(name.c_str(), pool_bytes(objects), &options) != 0)
    fail("cannot make the source pool " + name);
  objects_.reserve(objects);
  for (uint64_t i = 0; i < objects; ++i) {
    qor_olist_obj* o = zim_srv_olist_ctor_with_shm(kCount);
    if (o == nullptr) fail("the source pool is full");
    for (uint32_t e = 0; e < kCount; ++e) zim_olist_set_field_2(o, e, i + e);
    zim_olist_set_field_0(o, 0, now_ns());
    zim_olist_set_field_0(o, 1, 0);
    zim_shm_pool_write_end(o);
    if (zim_shm_pool_index_put(ZIM_TABLE_ID_OLIST, i, o, nullptr) < 0) fail("index_put");
    objects_.push_back(o);
  }
}

Source::~Source() {
  zim_shm_pool_detach();
  zim_shm_pool_destroy_name(name_.c_str());
}

void Source::write(uint64_t which, uint64_t number) {
  auto* o = static_cast<qor_olist_obj*>(objects_[which]);
  if (zim_shm_pool_write_begin(o) < 0) fail("write_begin");
  zim_olist_set_field_2(o, 0, number);
  zim_olist_set_field_0(o, 1, number);
  zim_olist_set_field_0(o, 0, now_ns());
  if (zim_shm_pool_write_end(o) != 0) fail("write_end");
}

}  // namespace zim_mirror_bench
