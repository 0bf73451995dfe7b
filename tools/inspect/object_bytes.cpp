// SPDX-License-Identifier: Apache-2.0
#include "object_bytes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zim_inspect {

ObjectBytes::ObjectBytes(const std::string& file) {
  if (file == "-") {
    read_stdin();
    return;
  }
  // Non-blocking, so that a FIFO is refused rather than waited on.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw UsageError{"cannot read " + file + ": " + std::strerror(errno)};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw UsageError{"cannot read " + file + ": " + std::strerror(err)};
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw UsageError{file + " is not a regular file (give - to read standard input)"};
  }
  size_ = static_cast<size_t>(st.st_size);
  if (size_ != 0) {
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      throw UsageError{"cannot map " + file + ": " + std::strerror(err)};
    }
    mapped_ = static_cast<const unsigned char*>(p);
  }
  ::close(fd);
}

ObjectBytes::~ObjectBytes() {
  if (mapped_) ::munmap(const_cast<unsigned char*>(mapped_), size_);
}

void ObjectBytes::read_stdin() {
  unsigned char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw UsageError{std::string("cannot read standard input: ") + std::strerror(errno)};
    }
    if (buffer_.size() + static_cast<size_t>(n) > kStdinLimit) {
      throw UsageError{
          "standard input holds more than 64 MiB, the most decode reads from it: "
          "give the object as a file"};
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
  }
}

}  // namespace zim_inspect
