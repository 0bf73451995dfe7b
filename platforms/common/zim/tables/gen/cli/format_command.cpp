// SPDX-License-Identifier: Apache-2.0
#include "gen/cli/format_command.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "gen/emit/emit_definition.hpp"
#include "gen/load/catalogue_loader.hpp"
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

// Whether the entry `name` of the folder is a regular file that holds exactly
// `expected`; reads at most one byte more than that.
bool holds(int dir_fd, const std::string& name, const std::string& expected) {
  const Fd in(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (in.get() < 0 || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string text(expected.size() + 1, '\0');
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(in.get(), text.data() + done, text.size() - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return done == expected.size() && text.compare(0, done, expected) == 0;
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

// Replaces the file `name` of the locked folder by text, but only while it
// still holds `read`, the bytes text was made from. A temporary file beside
// it takes its owner, group and mode and is exchanged with it in one step
// (RENAME_EXCHANGE): the name always leads to one complete text, and what
// the exchange took out is then compared with `read`. A save that came
// before the exchange is exchanged back (and the file refused); one that
// comes after it replaces the new text as it would have the old. So no save
// by rename is lost. SIGINT, SIGTERM and SIGHUP wait until the temporary
// file is gone.
bool replace_file(int dir_fd, const fs::path& dir, const std::string& name,
                  const std::string& shown, const std::string& read, const std::string& text,
                  Diagnostics& diags) {
  const auto refuse = [&](const std::string& reason) {
    diags.error(shown, 0, reason + "; left as it is");
    return false;
  };
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return refuse("cannot rewrite: " + why(errno));
  }
  if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
  // A new file under one name would part it from the others.
  if (st.st_nlink > 1) {
    return refuse("the file has " + std::to_string(st.st_nlink) +
                  " names (hard links), which a rewrite would part");
  }
  // A file its owner may not write is read-only on purpose, also to root.
  if ((st.st_mode & S_IWUSR) == 0) return refuse("the file is read-only");
  if (faccessat(dir_fd, name.c_str(), W_OK, AT_EACCESS) != 0) {
    return refuse("cannot rewrite: " + why(errno));
  }

  const HeldSignals held;  // while a temporary file exists
  std::string temp_path = (dir / ("." + name + std::string(kTempMark) + "XXXXXX")).string();
  Fd out(mkostemp(temp_path.data(), O_CLOEXEC));
  if (out.get() < 0) return refuse("cannot create a file beside it: " + why(errno));
  const std::string temp = fs::path(temp_path).filename();
  const auto discard = [&](const std::string& reason) {
    unlinkat(dir_fd, temp.c_str(), 0);
    return refuse(reason);
  };
  struct stat mine;
  if (!write_all(out.get(), text) || fstat(out.get(), &mine) != 0) {
    return discard("cannot write a file beside it: " + why(errno));
  }
  if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) &&
      fchown(out.get(), st.st_uid, st.st_gid) != 0) {
    return discard("cannot keep its owner and group (" + std::to_string(st.st_uid) + ":" +
                   std::to_string(st.st_gid) + "): " + why(errno));
  }
  if (fchmod(out.get(), st.st_mode & 07777) != 0 || fsync(out.get()) != 0) {
    return discard("cannot write a file beside it: " + why(errno));
  }
  if (held.pending()) return discard("interrupted");
  if (renameat2(dir_fd, temp.c_str(), dir_fd, name.c_str(), RENAME_EXCHANGE) != 0) {
    return discard(errno == EINVAL ? "cannot rewrite: the file system cannot exchange two files "
                                     "in one step, which keeps a save made meanwhile"
                                   : "cannot rewrite: " + why(errno));
  }
  if (holds(dir_fd, temp, read)) {
    unlinkat(dir_fd, temp.c_str(), 0);
    return true;
  }
  // A save came before the exchange: it goes back in. Whatever that takes
  // out, unless it is the file the run put in, is a later save, which goes
  // back in turn. The new text's file stays open, so no file saved meanwhile
  // can take its inode number.
  for (auto [round, put_in] = std::pair{0, mine.st_ino};; ++round) {
    struct stat going_in, taken_out;
    if (round == 100 || fstatat(dir_fd, temp.c_str(), &going_in, AT_SYMLINK_NOFOLLOW) != 0 ||
        renameat2(dir_fd, temp.c_str(), dir_fd, name.c_str(), RENAME_EXCHANGE) != 0 ||
        fstatat(dir_fd, temp.c_str(), &taken_out, AT_SYMLINK_NOFOLLOW) != 0) {
      diags.error(shown, 0,
                  "changed while being rewritten, and the text saved meanwhile could not be "
                  "put back: it is in " +
                      temp_path);
      return false;
    }
    if (taken_out.st_ino == put_in) break;
    put_in = going_in.st_ino;
  }
  unlinkat(dir_fd, temp.c_str(), 0);
  diags.error(shown, 0, "changed while being rewritten; left as saved: format it again");
  return false;
}

// Rewrites each definition not in canonical form, folder by folder (a
// symbolic link followed to its target's), and removes the temporary files
// of killed runs from every folder it visits.
bool write_canonical(const std::vector<Definition>& defs, Diagnostics& diags) {
  // A file given twice, as itself and in its folder, is rewritten once.
  std::map<fs::path, std::map<std::string, const Definition*>> folders;
  for (const auto& def : defs) {
    std::error_code ec;
    const fs::path file = fs::canonical(def.path, ec);
    if (ec) {
      diags.error(def.path, 0, "cannot rewrite: " + ec.message());
    } else {
      folders[file.parent_path()].emplace(file.filename(), &def);
    }
  }
  for (const auto& [dir, files] : folders) {
    const Fd lock(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock.get() < 0 || flock(lock.get(), LOCK_EX) != 0) {
      diags.error(dir.string(), 0, "cannot lock the folder: " + why(errno));
      continue;
    }
    remove_leftovers(dir, lock.get());
    for (const auto& [name, def] : files) {
      const std::string text = emit_definition(*def);
      if (text != def->text) replace_file(lock.get(), dir, name, def->path, def->text, text, diags);
    }
  }
  return !diags.has_errors();
}

}  // namespace

bool format_definitions(const std::vector<fs::path>& paths, bool write, std::ostream& out,
                        Diagnostics& diags) {
  std::vector<Definition> defs;
  for (const auto& path : paths) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      if (auto def = read_definition_file(path, diags)) defs.push_back(std::move(*def));
      continue;
    }
    const auto files = definition_files(path, diags);
    if (!files) continue;
    if (auto folder = read_definitions(*files, diags)) {
      for (auto& def : *folder) defs.push_back(std::move(def));
    }
  }
  if (diags.has_errors()) return false;
  if (!write) {
    for (const auto& def : defs) out << emit_definition(def);
    return true;
  }
  return write_canonical(defs, diags);
}

}  // namespace tablegen
