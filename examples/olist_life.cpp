// SPDX-License-Identifier: Apache-2.0
// The life of olist objects, a counted table type, in C++: the operations of
// libzim_tables behind owning handles that release each object the way its
// kind must be released (snapshots included), its fields through the type's
// accessors, and a copy in a versioned pool changed between write_begin and
// write_end.
//
//   c++ -std=c++17 olist_life.cpp $(pkg-config --cflags --libs zim_tables)
//   or, with CMake: target_link_libraries(app PRIVATE zim_tables::zim_tables)
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <zim/tables/handles.hpp>

namespace {

// olist's field 2 is a counted array of 8-byte elements.
bool intact(qor_olist_obj* obj, const char* what) {
  const auto elements = zim_tables::elements(obj, zim_olist_field_2_length, zim_olist_get_field_2);
  bool ok = true;
  uint32_t i = 0;
  for (const uint64_t element : elements)
    ok = ok && zim_olist_has_field_2(obj, i) && element == 7 * i++ + 1;
  std::printf("%-10s %u elements, %u bytes: %s\n", what, elements.size(),
              qor_olist_get_obj_size(elements.size()), ok ? "intact" : "DIFFERS");
  return ok;
}

// A pool of this process's own, versioned (64 changes in its feed); removed
// when its creator detaches, at the end of main or at exit.
bool make_pool() {
  const std::string name = "/olist_life_cpp." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 64, 16};
  if (zim_shm_pool_create_with(name.c_str(), 1 << 22, &options) == 0) return true;
  std::perror("zim_shm_pool_create_with");
  return false;
}

// A snapshot through which no write was under way: copied again when a
// writer's change came between read_begin and read_end.
zim_tables::ClientCopy<qor_olist_obj> whole_snapshot(qor_olist_obj* obj) {
  for (;;) {
    uint64_t version = 0;
    if (zim_shm_pool_read_begin(obj, &version) != 0) return {};
    auto copy = zim_tables::snapshot_of(obj);
    if (!copy || zim_shm_pool_read_end(obj, version) == 0) return copy;
  }
}

}  // namespace

int main() {
  constexpr uint32_t kCount = 17;
  auto server = zim_tables::ServerObject<qor_olist_obj>::make(kCount);
  for (uint32_t i = 0; i < kCount; ++i) zim_olist_set_field_2(server.get(), i, 7 * i + 1);
  bool ok = intact(server.get(), "server");

  const auto copy = zim_tables::copy_of(server.get());
  ok &= intact(copy.get(), "heap copy");

  // Move the object to another block; fix its pointers before any use.
  const uint32_t size = qor_olist_get_obj_size(kCount);
  auto moved = zim_tables::ServerObject<qor_olist_obj>::adopt(
      static_cast<qor_olist_obj*>(std::malloc(size)));
  std::memcpy(moved.get(), server.get(), size);
  server.reset();
  zim_olist_fix_ptrs_from_base(moved.get());
  ok &= intact(moved.get(), "moved");

  // A pool copy is not owned by this process: no handle releases it. It is
  // under way until its first write_end gives it a version.
  if (!make_pool()) return 1;
  qor_olist_obj* const pool_copy = zim_olist_copy_ctor_with_shm(moved.get());
  ok &= pool_copy != nullptr && zim_shm_pool_write_end(pool_copy) == 0;
  ok &= intact(pool_copy, "pool copy");

  // Every later change between write_begin and write_end, which publishes it
  // to the pool's followers.
  ok &= zim_shm_pool_write_begin(pool_copy) == 0;
  zim_olist_set_field_2(pool_copy, 0, 1);  // element 0, written again
  ok &= zim_shm_pool_write_end(pool_copy) == 0;

  // Read as a process that does not own it reads a pool object: a snapshot,
  // which writes nothing of it, released by its handle.
  {
    const auto snapshot = whole_snapshot(pool_copy);
    ok &= snapshot && intact(snapshot.get(), "snapshot");
  }
  zim_shm_pool_detach();
  return ok ? 0 : 1;
}
