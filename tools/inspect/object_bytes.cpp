// SPDX-License-Identifier: Apache-2.0
#include "object_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "render.hpp"

namespace zim_inspect {
namespace {

class FileSource final : public WindowedSource {
 public:
  FileSource(int fd, uint64_t size, const std::string& file)
      : WindowedSource(size), fd_(fd), file_(printable(file)) {}

 private:
  void load(uint64_t offset, void* to, uint64_t n) const override {
    auto* at = static_cast<unsigned char*>(to);
    while (n != 0) {
      const size_t want = n < (uint64_t{1} << 30) ? static_cast<size_t>(n) : size_t{1} << 30;
      const ssize_t got = ::pread(fd_, at, want, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw ReadError("cannot read " + file_ + ": " + std::strerror(errno));
      if (got == 0) throw ReadError(file_ + " was cut short while it was read");
      at += got;
      offset += static_cast<uint64_t>(got);
      n -= static_cast<uint64_t>(got);
    }
  }
  int fd_;
  std::string file_;
};

}  // namespace

ObjectBytes::ObjectBytes(const std::string& file) {
  if (file == "-") {
    read_stdin();
    source_ = std::make_unique<SpanSource>(buffer_.data(), buffer_.size());
    return;
  }
  // Non-blocking, so that a FIFO is refused rather than waited on.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw UsageError{"cannot read " + printable(file) + ": " + std::strerror(errno)};
  struct stat st {};
  const int err = ::fstat(fd, &st) != 0 ? errno : 0;
  if (err != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw UsageError{err != 0 ? "cannot read " + printable(file) + ": " + std::strerror(err)
                              : printable(file) +
                                    " is not a regular file (give - to read standard input)"};
  }
  fd_ = fd;
  source_ = std::make_unique<FileSource>(fd_, static_cast<uint64_t>(st.st_size), file);
}

ObjectBytes::~ObjectBytes() {
  if (fd_ >= 0) ::close(fd_);
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
