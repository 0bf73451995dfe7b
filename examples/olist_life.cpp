// The life of olist objects, a counted table type, in C++: the operations of
// libzim_tables behind owning handles that release each object the way its
// kind must be released.
//
//   c++ -std=c++17 olist_life.cpp $(pkg-config --cflags --libs zim_tables)
//   or, with CMake: target_link_libraries(app PRIVATE zim_tables::zim_tables)
#include <zim/tables/olist.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Server objects and moved blocks come from calloc/malloc and go back with
// free; heap copies go back with the type's copy destructor.
struct FreeObject {
  void operator()(qor_olist_obj* p) const { std::free(p); }
};
struct ReleaseCopy {
  void operator()(qor_olist_obj* p) const { zim_olist_clnt_copy_dtor(p); }
};
using ServerObject = std::unique_ptr<qor_olist_obj, FreeObject>;
using HeapCopy = std::unique_ptr<qor_olist_obj, ReleaseCopy>;

// Typed access to the fields this program uses, at the offsets that the
// header's layout constants give: the count and the counted array that is
// olist's field 2.
class OlistView {
 public:
  explicit OlistView(qor_olist_obj* obj) : obj_(reinterpret_cast<unsigned char*>(obj)) {}
  template <typename T>
  T at(size_t offset) const {
    T value;
    std::memcpy(&value, obj_ + offset, sizeof value);
    return value;
  }
  uint32_t count() const { return at<uint32_t>(ZIM_OLIST_COUNT_OFFSET); }
  uint32_t size() const { return at<uint32_t>(ZIM_OBJ_TOTAL_SIZE_OFFSET); }
  unsigned char* elements() const { return at<unsigned char*>(ZIM_OLIST_FIELD_2_PTR); }
  unsigned char* element_flags() const { return at<unsigned char*>(ZIM_OLIST_FIELD_2_FLAGS_PTR); }
  uint64_t element(uint32_t i) const {
    uint64_t value;
    std::memcpy(&value, elements() + ZIM_OLIST_FIELD_2_ELEM_SIZE * i, sizeof value);
    return value;
  }
  void set_element(uint32_t i, uint64_t value) const {
    std::memcpy(elements() + ZIM_OLIST_FIELD_2_ELEM_SIZE * i, &value, sizeof value);
    element_flags()[i] = 1;
  }
  bool owns_its_arrays() const { return elements() > obj_ && elements() < obj_ + size(); }

 private:
  unsigned char* obj_;
};

bool intact(qor_olist_obj* obj, const char* what) {
  const OlistView v(obj);
  bool ok = v.count() == 0 || v.owns_its_arrays();
  for (uint32_t i = 0; ok && i < v.count(); ++i) ok = v.element(i) == 7 * i + 1;
  std::printf("%-10s %u elements, %u bytes: %s\n", what, v.count(), v.size(),
              ok ? "intact" : "DIFFERS");
  return ok;
}

}  // namespace

int main() {
  constexpr uint32_t kCount = 17;
  ServerObject server(qor_srv_olist_ctor(kCount));
  for (uint32_t i = 0; i < kCount; ++i) OlistView(server.get()).set_element(i, 7 * i + 1);
  bool ok = intact(server.get(), "server");

  const HeapCopy copy(zim_olist_copy_ctor(server.get()));
  ok &= intact(copy.get(), "heap copy");

  // Move the object to another block; fix its pointers before any use.
  const uint32_t size = OlistView(server.get()).size();
  ServerObject moved(static_cast<qor_olist_obj*>(std::malloc(size)));
  std::memcpy(moved.get(), server.get(), size);
  server.reset();
  zim_olist_fix_ptrs_from_base(moved.get());
  ok &= intact(moved.get(), "moved");

  // A pool copy is not owned by this process: no handle releases it.
  ok &= intact(zim_olist_copy_ctor_with_shm(moved.get()), "pool copy");
  return ok ? 0 : 1;
}
