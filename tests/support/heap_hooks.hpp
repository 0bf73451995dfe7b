// SPDX-License-Identifier: Apache-2.0
// Interposed calloc and free for the one test executable that must see the
// library's heap calls (never with sanitizers, which own the heap).
#pragma once

#include <cstdint>
#include <functional>

namespace zim_test {

struct HeapHooks {
  bool fail_next_calloc = false;
  // Called with every block that free receives, before it is released.
  std::function<void(void*)> on_free;
  bool record = false;  // append heap_calloc to calls()
};

HeapHooks& heap();

}  // namespace zim_test
