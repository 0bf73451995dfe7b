// SPDX-License-Identifier: Apache-2.0
#include "heap_hooks.hpp"

#include <cstddef>

#include "test_platform.hpp"

extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void __libc_free(void*);

namespace zim_test {
namespace {
HeapHooks g_heap;
// The hooks themselves may allocate (std::function, vector growth): only the
// outermost call is observed.
thread_local bool g_inside = false;
}  // namespace

HeapHooks& heap() { return g_heap; }

}  // namespace zim_test

extern "C" __attribute__((visibility("default"))) void* calloc(size_t n, size_t size) {
  using namespace zim_test;
  if (g_inside) return __libc_calloc(n, size);
  g_inside = true;
  void* result = nullptr;
  if (g_heap.fail_next_calloc) {
    g_heap.fail_next_calloc = false;
  } else {
    result = __libc_calloc(n, size);
  }
  if (g_heap.record) calls().push_back({PlatformCall::kHeapCalloc, 0, uint64_t{n} * size});
  g_inside = false;
  return result;
}

extern "C" __attribute__((visibility("default"))) void free(void* p) {
  using namespace zim_test;
  if (!g_inside && p != nullptr) {
    g_inside = true;
    if (g_heap.on_free) g_heap.on_free(p);
    g_inside = false;
  }
  __libc_free(p);
}
