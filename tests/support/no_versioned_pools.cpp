// SPDX-License-Identifier: Apache-2.0
// What the type headers reach of versioned pools, for a test program whose
// platform is the test platform alone (no pool library): it never maps a
// versioned pool, so every object is written and snapshotted as a heap one.
#include <zim/tables/versions.h>

#include <cerrno>

extern "C" {

zim_tables_span_t zim_tables_versioned_span = {0, 0};

// Never reached while the span is empty; a try refused as not a pool object.
zim_tables_whole_t zim_tables_whole_first(const void*) {
  errno = EINVAL;
  return {1, 0};
}

zim_tables_whole_t zim_tables_whole_again(const void* obj, uint32_t) {
  return zim_tables_whole_first(obj);
}

int zim_tables_write_is_open(const void*) { return 0; }
}
