// SPDX-License-Identifier: Apache-2.0
// What the command line of zim_tables_inspect shares between its files:
// its usage errors and the bytes decode reads from a file or standard input.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// A usage error: exit status 2 and a pointer to --help.
struct UsageError {
  std::string message;
};

// A pipe cannot be read where it lies; this much of it is buffered, far more
// than any object of the catalogue's types with a realistic count.
constexpr size_t kStdinLimit = size_t{64} << 20;

// The bytes decode reads: a regular file read where it lies, a window at a
// time, so that its size costs no memory and a file cut short meanwhile is an
// error (ReadError), not a signal; or standard input read into a bounded
// buffer.
class ObjectBytes {
 public:
  explicit ObjectBytes(const std::string& file);
  ~ObjectBytes();
  ObjectBytes(const ObjectBytes&) = delete;
  ObjectBytes& operator=(const ObjectBytes&) = delete;

  const ByteSource& source() const { return *source_; }

 private:
  void read_stdin();

  int fd_ = -1;
  std::vector<unsigned char> buffer_;
  std::unique_ptr<ByteSource> source_;
};

}  // namespace zim_inspect
