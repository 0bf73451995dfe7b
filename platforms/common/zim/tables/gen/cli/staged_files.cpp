// SPDX-License-Identifier: Apache-2.0
#include "gen/cli/staged_files.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace tablegen {
namespace {

// Text is compared or written once this much of it waits.
constexpr size_t kFlushBytes = size_t{1} << 18;

// The old file of a name if it is a regular file, not a symbolic link (a
// FIFO under the name neither blocks the open nor is read); -1 otherwise.
int open_old(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Up to size bytes from offset (-1: the descriptor's position); fewer only
// at the end of the file, -1 after an error.
ssize_t read_up_to(int fd, char* to, size_t size, off_t offset = -1) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = offset < 0 ? ::read(fd, to + got, size - got)
                                 : ::pread(fd, to + got, size - got, offset + off_t(got));
    if (n == 0) break;
    if (n < 0 && errno != EINTR) return -1;
    if (n > 0) got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool write_all(int fd, const char* from, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, from, size);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) from += n, size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the first bytes of from to the position of to: 0, or the errno of
// the read or write that failed (EIO for a file that ended early).
int copy_prefix(int from, uint64_t bytes, int to, bool& read_failed) {
  std::string chunk(static_cast<size_t>(std::min<uint64_t>(bytes, kFlushBytes)), '\0');
  for (uint64_t at = 0; at < bytes;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - at));
    read_failed = true;
    const ssize_t got = read_up_to(from, chunk.data(), want, static_cast<off_t>(at));
    if (got != static_cast<ssize_t>(want)) return got < 0 ? errno : EIO;
    read_failed = false;
    if (!write_all(to, chunk.data(), want)) return errno;
    at += want;
  }
  return 0;
}

// The regular files below dir; -1 when it cannot be read.
long long count_files(const fs::path& dir) {
  std::error_code ec;
  long long files = 0;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec)) ++files;
  }
  return ec ? -1 : files;
}

}  // namespace

mode_t folder_mode() {
  const mode_t mask = umask(077);
  umask(mask);
  return 0777 & ~mask;
}

StagedFiles::StagedFiles(const fs::path& out_dir, bool old_set, std::string staging_prefix,
                         const HeldSignals& held, Diagnostics& diags)
    : out_dir_(out_dir),
      old_set_(old_set),
      staging_prefix_(std::move(staging_prefix)),
      held_(held),
      diags_(diags) {}

StagedFiles::~StagedFiles() {
  drop_descriptors();
  std::error_code ignored;
  if (!staging_.empty()) fs::remove_all(staging_, ignored);
}

void StagedFiles::drop_descriptors() {
  for (int* fd : {&old_fd_, &new_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

bool StagedFiles::fail(const fs::path& path, const std::string& what, int error) {
  if (!failed_) {
    diags_.error(path.string(), 0,
                 what + (error != 0 ? ": " + std::generic_category().message(error) : ""));
  }
  failed_ = true;
  return false;
}

bool StagedFiles::make_staging() {
  const fs::path parent = out_dir_.parent_path();
  std::string pattern = (parent / (staging_prefix_ + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    return fail(parent, "cannot create a staging folder", errno);
  }
  staging_ = pattern;
  // mkdtemp makes the folder private; it becomes the output folder, which
  // the umask governs like every folder and file below it.
  if (chmod(staging_.c_str(), folder_mode()) != 0) {
    return fail(staging_, "cannot set the permissions of the staging folder", errno);
  }
  for (const fs::path& file : unchanged_) {
    if (!link_unchanged(file)) return false;
  }
  unchanged_.clear();
  return true;
}

bool StagedFiles::make_parent(const fs::path& target) {
  const fs::path folder = target.parent_path();
  if (made_folders_.count(folder) != 0) return true;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return fail(folder, "cannot create folder", ec.value());
  made_folders_.insert(folder);
  return true;
}

// The file under way, staged: a new file that starts with the matched_ bytes
// that it shares with the old one.
bool StagedFiles::start_copy() {
  if (staging_.empty() && !make_staging()) return false;
  const fs::path target = staging_ / file_;
  if (!make_parent(target)) return false;
  new_fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (new_fd_ < 0) return fail(out_dir_ / file_, "cannot write", errno);
  bool read_failed = false;
  const int error = matched_ == 0 ? 0 : copy_prefix(old_fd_, matched_, new_fd_, read_failed);
  return error == 0 || fail(out_dir_ / file_, read_failed ? "cannot read" : "cannot write", error);
}

bool StagedFiles::link_unchanged(const fs::path& relative_path) {
  const fs::path target = staging_ / relative_path, old = out_dir_ / relative_path;
  if (!make_parent(target)) return false;
  std::error_code ec;
  fs::create_hard_link(old, target, ec);
  if (!ec) return true;
  // A file system without hard links: a copy, which the build sees as new.
  const int from = open_old(old);
  const int to =
      from < 0 ? -1 : ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  struct stat st;
  bool read_failed = from < 0 || fstat(from, &st) != 0;
  int error = to < 0 || read_failed
                  ? errno
                  : copy_prefix(from, static_cast<uint64_t>(st.st_size), to, read_failed);
  for (int fd : {from, to}) {
    if (fd >= 0 && ::close(fd) != 0 && error == 0) error = errno;
  }
  return error == 0 || fail(old, read_failed ? "cannot read" : "cannot write", error);
}

void StagedFiles::open(const fs::path& relative_path) {
  if (failed_) return;
  if (held_.pending()) {
    fail(out_dir_, "interrupted; the output folder is unchanged", 0);
    return;
  }
  file_ = relative_path;
  pending_.clear();
  matched_ = 0;
  old_fd_ = old_set_ ? open_old(out_dir_ / file_) : -1;
  same_ = old_fd_ >= 0;
  if (!same_) start_copy();
}

void StagedFiles::write(std::string_view text) {
  if (failed_) return;
  if (pending_.empty() && text.size() >= kFlushBytes / 8) {
    take(text);  // large enough to take as it is, without a copy
    return;
  }
  pending_.append(text);
  if (pending_.size() >= kFlushBytes) flush();
}

bool StagedFiles::matches_old(std::string_view text) {
  char chunk[65536];
  for (size_t at = 0; at < text.size();) {
    const size_t want = std::min(sizeof chunk, text.size() - at);
    if (read_up_to(old_fd_, chunk, want) != ssize_t(want) ||
        std::memcmp(chunk, text.data() + at, want) != 0) {
      return false;
    }
    at += want;
  }
  return true;
}

bool StagedFiles::write_new(std::string_view text) {
  return write_all(new_fd_, text.data(), text.size()) ||
         fail(out_dir_ / file_, "cannot write", errno);
}

void StagedFiles::take(std::string_view text) {
  if (same_ && matches_old(text)) {
    matched_ += text.size();
  } else {
    const bool staged = !same_ || start_copy();  // from the first byte that differs
    same_ = false;
    if (staged) write_new(text);
  }
}

void StagedFiles::flush() {
  if (failed_ || pending_.empty()) return;
  take(pending_);
  pending_.clear();
}

bool StagedFiles::old_ends_here() {
  char byte;
  return read_up_to(old_fd_, &byte, 1) == 0;
}

void StagedFiles::close() {
  flush();
  if (!failed_ && same_) {
    if (!old_ends_here()) {
      start_copy();  // the old file is longer: the new one is what matched
    } else if (staging_.empty()) {
      unchanged_.push_back(file_);
    } else {
      const fs::path file = file_;
      drop_descriptors();
      link_unchanged(file);
    }
  }
  if (new_fd_ >= 0) {
    const int fd = new_fd_;
    new_fd_ = -1;
    if (::close(fd) != 0) fail(out_dir_ / file_, "cannot write", errno);
  }
  drop_descriptors();
}

bool StagedFiles::finish(fs::path& staging) {
  if (failed_) return false;
  // Every file came out as the folder holds it: the set is the old one
  // unless the folder holds more files.
  if (staging_.empty() && count_files(out_dir_) != static_cast<long long>(unchanged_.size()) &&
      !make_staging()) {
    return false;
  }
  staging = staging_;
  staging_.clear();
  return true;
}

}  // namespace tablegen
