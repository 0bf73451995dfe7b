// SPDX-License-Identifier: Apache-2.0
// A file descriptor closed when it goes.
#pragma once

#include <unistd.h>

namespace tablegen {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace tablegen
