// SPDX-License-Identifier: Apache-2.0
#include "gen/files/replace_file.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "gen/files/fd.hpp"
#include "gen/files/read_file.hpp"
#include "gen/text/held_signals.hpp"

namespace fs = std::filesystem;

namespace tablegen {
namespace {

// A temporary file is named "." + the definition's name + kTempMark + the six
// characters mkstemp picks.
constexpr std::string_view kTempMark = ".zim_tablegen-";
constexpr size_t kTempRandom = 6;

bool is_temporary_name(std::string_view name) {
  const size_t tail = kTempMark.size() + kTempRandom;
  return name.size() > tail + 1 && name[0] == '.' &&
         name.substr(name.size() - tail, kTempMark.size()) == kTempMark;
}

std::string why(int error) { return std::strerror(error); }

bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Runs that rewrite definitions of one folder take turns through an
// exclusive flock on the folder (the one the generation takes on the folder
// of its output), and a run has temporary files there only while it holds
// it. So every temporary file found under the lock was left by a run that is
// gone (killed outright: the kernel dropped its lock with it), and removing
// it can never take one from a live run; nothing depends on process ids or
// times. (Only a kill in the instant between a run's exchange and its check
// can thus drop a save made in that instant, which then sits in the removed
// file.)
void remove_leftovers(const fs::path& dir, int dir_fd) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    struct stat st;
    if (is_temporary_name(name) && fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      unlinkat(dir_fd, name.c_str(), 0);
    }
  }
}

// Why the file `name` of the folder may not be rewritten, or "" with its
// status in st.
std::string refusal(int dir_fd, const std::string& name, struct stat& st) {
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return "cannot rewrite: " + why(errno);
  }
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  // A new file under one name would part it from the others.
  if (st.st_nlink > 1) {
    return "the file has " + std::to_string(st.st_nlink) +
           " names (hard links), which a rewrite would part";
  }
  // A file its owner may not write is read-only on purpose, also to root.
  if ((st.st_mode & S_IWUSR) == 0) return "the file is read-only";
  if (faccessat(dir_fd, name.c_str(), W_OK, AT_EACCESS) != 0)
    return "cannot rewrite: " + why(errno);
  return "";
}

// Writes text to the new file `out`, with the owner, group and mode of the
// file it is to replace (status st); "" or why it could not.
std::string fill(int out, const std::string& text, const struct stat& st, struct stat& mine) {
  if (!write_all(out, text) || fstat(out, &mine) != 0) {
    return "cannot write a file beside it: " + why(errno);
  }
  if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) &&
      fchown(out, st.st_uid, st.st_gid) != 0) {
    return "cannot keep its owner and group (" + std::to_string(st.st_uid) + ":" +
           std::to_string(st.st_gid) + "): " + why(errno);
  }
  if (fchmod(out, st.st_mode & 07777) != 0 || fsync(out) != 0) {
    return "cannot write a file beside it: " + why(errno);
  }
  return "";
}

// A save came before the exchange, and `temp` holds it: it goes back in.
// Whatever that takes out, unless it is the file the run put in (put_in), is
// a later save, which goes back in turn. The new text's file stays open, so
// no file saved meanwhile can take its inode number.
bool put_back_saves(int dir_fd, const std::string& temp, const std::string& name, ino_t put_in) {
  for (int round = 0; round < 100; ++round) {
    struct stat going_in, taken_out;
    if (fstatat(dir_fd, temp.c_str(), &going_in, AT_SYMLINK_NOFOLLOW) != 0 ||
        renameat2(dir_fd, temp.c_str(), dir_fd, name.c_str(), RENAME_EXCHANGE) != 0 ||
        fstatat(dir_fd, temp.c_str(), &taken_out, AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
    }
    if (taken_out.st_ino == put_in) return true;
    put_in = going_in.st_ino;
  }
  return false;
}

// Replaces the file `name` of the locked folder by text, but only while it
// still holds `read`, the bytes text was made from. A temporary file beside
// it takes its owner, group and mode and is exchanged with it in one step
// (RENAME_EXCHANGE): the name always leads to one complete text, and what
// the exchange took out is then compared with `read`. A save that came
// before the exchange is exchanged back (and the file refused); one that
// comes after it replaces the new text as it would have the old. So no save
// by rename is lost. SIGINT, SIGTERM and SIGHUP wait until the temporary
// file is gone.
bool replace_file(int dir_fd, const fs::path& dir, const Rewrite& file, Diagnostics& diags) {
  const auto refuse = [&](const std::string& reason) {
    diags.error(file.shown, 0, reason + "; left as it is");
    return false;
  };
  struct stat st;
  if (const std::string reason = refusal(dir_fd, file.name, st); !reason.empty()) {
    return refuse(reason);
  }
  const HeldSignals held;  // while a temporary file exists
  std::string temp_path = (dir / ("." + file.name + std::string(kTempMark) + "XXXXXX")).string();
  Fd out(mkostemp(temp_path.data(), O_CLOEXEC));
  if (out.get() < 0) return refuse("cannot create a file beside it: " + why(errno));
  const std::string temp = fs::path(temp_path).filename();
  const auto discard = [&](const std::string& reason) {
    unlinkat(dir_fd, temp.c_str(), 0);
    return refuse(reason);
  };
  struct stat mine;
  if (const std::string reason = fill(out.get(), file.text, st, mine); !reason.empty()) {
    return discard(reason);
  }
  if (held.pending()) return discard("interrupted");
  if (renameat2(dir_fd, temp.c_str(), dir_fd, file.name.c_str(), RENAME_EXCHANGE) != 0) {
    return discard(errno == EINVAL ? "cannot rewrite: the file system cannot exchange two files "
                                     "in one step, which keeps a save made meanwhile"
                                   : "cannot rewrite: " + why(errno));
  }
  if (file_holds(dir_fd, temp, file.read)) {
    unlinkat(dir_fd, temp.c_str(), 0);
    return true;
  }
  if (!put_back_saves(dir_fd, temp, file.name, mine.st_ino)) {
    diags.error(file.shown, 0,
                "changed while being rewritten, and the text saved meanwhile could not be "
                "put back: it is in " +
                    temp_path);
    return false;
  }
  unlinkat(dir_fd, temp.c_str(), 0);
  diags.error(file.shown, 0, "changed while being rewritten; left as saved: format it again");
  return false;
}

}  // namespace

bool rewrite_files(const fs::path& dir, const std::vector<Rewrite>& files, Diagnostics& diags) {
  const Fd lock(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.get() < 0 || flock(lock.get(), LOCK_EX) != 0) {
    diags.error(dir.string(), 0, "cannot lock the folder: " + why(errno));
    return false;
  }
  remove_leftovers(dir, lock.get());
  bool all = true;
  for (const Rewrite& file : files) {
    all &= replace_file(lock.get(), dir, file, diags);
  }
  return all;
}

}  // namespace tablegen
