// SPDX-License-Identifier: Apache-2.0
// The life of olist objects, a counted table type, in C++: the operations of
// libzim_tables behind owning handles that release each object the way its
// kind must be released (snapshots included), and its fields through the
// type's accessors.
//
//   c++ -std=c++17 olist_life.cpp $(pkg-config --cflags --libs zim_tables)
//   or, with CMake: target_link_libraries(app PRIVATE zim_tables::zim_tables)
#include <zim/tables/olist.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

  // A pool copy is not owned by this process: no handle releases it.
  qor_olist_obj* const pool_copy = zim_olist_copy_ctor_with_shm(moved.get());
  ok &= intact(pool_copy, "pool copy");

  // Read as a process that does not own it reads a pool object: a snapshot,
  // which writes nothing of it, released by its handle.
  const auto snapshot = zim_tables::snapshot_of(pool_copy);
  ok &= snapshot && intact(snapshot.get(), "snapshot");
  return ok ? 0 : 1;
}
