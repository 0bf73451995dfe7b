// SPDX-License-Identifier: Apache-2.0
// What the command line of zim_tables_inspect shares between its files:
// its usage errors and the bytes decode reads from a file or standard input.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// A usage error: exit status 2 and a pointer to --help.
struct UsageError {
  std::string message;
};

// A pipe cannot be mapped; this much of it is buffered, far more than any
// object of the catalogue's types with a realistic count. A pool's object is
// copied under the same bound.
constexpr size_t kStdinLimit = size_t{64} << 20;

// The bytes decode reads: a regular file mapped read-only, so that its size
// costs no memory, or standard input read into a bounded buffer.
class ObjectBytes {
 public:
  explicit ObjectBytes(const std::string& file);
  ~ObjectBytes();
  ObjectBytes(const ObjectBytes&) = delete;
  ObjectBytes& operator=(const ObjectBytes&) = delete;

  ByteSpan span() const {
    return mapped_ ? ByteSpan{mapped_, size_} : ByteSpan{buffer_.data(), buffer_.size()};
  }

 private:
  void read_stdin();

  const unsigned char* mapped_ = nullptr;
  size_t size_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace zim_inspect
