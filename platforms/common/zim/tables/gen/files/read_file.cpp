// SPDX-License-Identifier: Apache-2.0
#include "gen/files/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gen/files/fd.hpp"

namespace tablegen {
namespace {

FileText fault(ReadFault why, int error = 0) { return {std::string(), why, error}; }

}  // namespace

FileText read_file(int dir_fd, const std::string& name, uint64_t max_bytes, bool follow_links) {
  // O_NONBLOCK: a FIFO under the name neither blocks the open nor is read.
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
  const Fd in(openat(dir_fd, name.c_str(), flags));
  struct stat st;
  if (in.get() < 0 || fstat(in.get(), &st) != 0) return fault(ReadFault::kCannotOpen, errno);
  if (!S_ISREG(st.st_mode)) return fault(ReadFault::kNotRegular);
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return fault(ReadFault::kTooLarge);
  FileText file;
  file.text.reserve(static_cast<size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fault(ReadFault::kCannotRead, errno);
    }
    if (file.text.size() + static_cast<size_t>(n) > max_bytes) return fault(ReadFault::kTooLarge);
    file.text.append(chunk, static_cast<size_t>(n));
  }
  return file;
}

bool file_holds(int dir_fd, const std::string& name, const std::string& expected) {
  const FileText file = read_file(dir_fd, name, expected.size(), false);
  return file.fault == ReadFault::kNone && file.text == expected;
}

std::string read_fault_text(const FileText& file, const FileKind& kind) {
  switch (file.fault) {
    case ReadFault::kNone:
      break;
    case ReadFault::kCannotOpen:
    case ReadFault::kCannotRead:
      return std::string("cannot read: ") + std::strerror(file.error);
    case ReadFault::kNotRegular:
      return "not a regular file";
    case ReadFault::kTooLarge:
      return std::string("larger than ") + kind.what + " can be (" + kind.max_text + ")";
  }
  return "";
}

std::optional<std::string> read_text_file(const std::filesystem::path& path, const FileKind& kind,
                                          Diagnostics& diags) {
  FileText file = read_file(AT_FDCWD, path.string(), kind.max_bytes);
  if (file.fault == ReadFault::kNone) return std::move(file.text);
  diags.error(path.string(), 0, read_fault_text(file, kind));
  return std::nullopt;
}

}  // namespace tablegen
