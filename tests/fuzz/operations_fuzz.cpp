// SPDX-License-Identifier: Apache-2.0
// The operations of every table type on objects that the input describes
// (tests/objects/operations_case.cpp); anything else than the object model's
// image aborts.
#include <cstdio>
#include <cstdlib>

#include "object_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = zim_test::run_operations(data, size);
  if (failure.empty()) return 0;
  std::fprintf(stderr, "%s\n", failure.c_str());
  std::abort();
}
