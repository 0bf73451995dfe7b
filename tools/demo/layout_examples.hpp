// SPDX-License-Identifier: Apache-2.0
// The demonstration's first table: a few objects in the heap and in the pool,
// each array's storage and flags where the allocator put them next to where
// the type header's layout constants place them.
#pragma once

namespace zim_demo {

// Prints the examples; false when an array is not where its constants say.
// The pool objects it makes are published (their first write ended).
bool show_examples();

}  // namespace zim_demo
