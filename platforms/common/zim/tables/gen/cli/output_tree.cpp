// SPDX-License-Identifier: Apache-2.0
#include "gen/cli/output_tree.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gen/cli/staged_files.hpp"
#include "gen/text/held_signals.hpp"

namespace fs = std::filesystem;

namespace tablegen {
namespace {

constexpr char kMarker[] = ".zim_tablegen";
constexpr char kMarkerText[] =
    "This folder is written by zim_tablegen and replaced as a whole on every run.\n";

std::string staging_prefix(const fs::path& out_dir) {
  return "." + out_dir.filename().string() + ".zim_tablegen-";
}

class Publisher {
 public:
  Publisher(const fs::path& out_dir, Diagnostics& diags)
      : out_dir_(out_dir), parent_(out_dir.parent_path()), diags_(diags) {
    if (parent_.empty()) parent_ = ".";
  }
  ~Publisher() {
    if (lock_fd_ >= 0) close(lock_fd_);
  }
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  bool run(const std::function<void(OutputSink&)>& emit) {
    if (!prepare()) return false;
    const HeldSignals held;  // while a staging folder may exist
    fs::path staging;
    {
      StagedFiles files(out_dir_, exists_, staging_prefix(out_dir_), held, diags_);
      emit(files);
      files.add({kMarker, kMarkerText});
      if (!files.finish(staging)) return false;
    }
    if (staging.empty()) return follow_umask();
    // Last look before the exchange: after it, a held signal waits for the
    // swap to finish.
    if (held.pending()) {
      std::error_code ignored;
      fs::remove_all(staging, ignored);
      return interrupted();
    }
    return swap_in(staging);
  }

 private:
  bool fail(const fs::path& path, const std::string& what, const std::error_code& ec) {
    diags_.error(path.string(), 0, what + (ec ? ": " + ec.message() : ""));
    return false;
  }

  // Checks that out_dir may be replaced and removes what killed runs left.
  bool prepare() {
    std::error_code ec;
    fs::create_directories(parent_, ec);
    if (ec) return fail(parent_, "cannot create the folder of the output", ec);
    // Runs into the same parent take turns, so that one never removes the
    // staging folder of another as a leftover.
    lock_fd_ = open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock_fd_ < 0 || flock(lock_fd_, LOCK_EX) != 0) {
      return fail(parent_, "cannot lock the folder of the output",
                  std::error_code(errno, std::generic_category()));
    }
    const std::string prefix = staging_prefix(out_dir_);
    for (fs::directory_iterator it(parent_, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().filename().string().rfind(prefix, 0) == 0) {
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
      }
    }
    const fs::file_status status = fs::symlink_status(out_dir_, ec);
    if (status.type() == fs::file_type::not_found) return true;
    if (ec) return fail(out_dir_, "cannot inspect the output folder", ec);
    if (status.type() != fs::file_type::directory) {
      return fail(out_dir_, "the output folder exists and is not a folder", {});
    }
    exists_ = true;
    // Build tools create the folders of expected outputs in advance, so a
    // folder with only empty folders in it counts as empty.
    bool holds_files = false;
    for (fs::recursive_directory_iterator it(out_dir_, ec), end; !ec && it != end;
         it.increment(ec)) {
      holds_files |= !it->is_directory(ec);
    }
    if (ec) return fail(out_dir_, "cannot read the output folder", ec);
    if (holds_files && !fs::exists(out_dir_ / kMarker, ec)) {
      return fail(out_dir_,
                  "the output folder holds files that zim_tablegen did not write; "
                  "give a new or empty folder",
                  {});
    }
    return true;
  }

  // An output folder that needs no new files still takes the permissions a
  // new one would get: a private one would hide the headers from other users.
  bool follow_umask() {
    struct stat st;
    const mode_t mode = folder_mode();
    if (stat(out_dir_.c_str(), &st) == 0 && (st.st_mode & 07777) == mode) return true;
    if (chmod(out_dir_.c_str(), mode) == 0) return true;
    return fail(out_dir_, "cannot set the permissions of the output folder",
                std::error_code(errno, std::generic_category()));
  }

  bool interrupted() { return fail(out_dir_, "interrupted; the output folder is unchanged", {}); }

  bool swap_in(const fs::path& staging) {
    std::error_code ec;
    if (!exists_) {
      fs::rename(staging, out_dir_, ec);
      if (ec) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        return fail(out_dir_, "cannot move the generated files into place", ec);
      }
      return true;
    }
    if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, out_dir_.c_str(), RENAME_EXCHANGE) != 0 &&
        !(errno == EINVAL && swap_by_two_renames(staging))) {
      const std::error_code why(errno, std::generic_category());
      std::error_code ignored;
      fs::remove_all(staging, ignored);
      return fail(out_dir_, "cannot exchange the output folder with the new files", why);
    }
    // The staging name now holds the previous set; a failure to remove it is
    // repaired by the next run.
    fs::remove_all(staging, ec);
    return true;
  }

  // For file systems that cannot exchange two folders: the old set moves
  // aside and the new one in. Held signals wait until both are done; only an
  // uncatchable kill in between leaves no folder, and the next run then finds
  // the old set under the staging prefix, removes it and writes a new one.
  bool swap_by_two_renames(const fs::path& staging) {
    const fs::path aside = staging.string() + "-old";
    if (rename(out_dir_.c_str(), aside.c_str()) != 0) return false;
    if (rename(staging.c_str(), out_dir_.c_str()) != 0) {
      const int saved = errno;
      rename(aside.c_str(), out_dir_.c_str());
      errno = saved;
      return false;
    }
    std::error_code ignored;
    fs::remove_all(aside, ignored);
    return true;
  }

  fs::path out_dir_, parent_;
  Diagnostics& diags_;
  int lock_fd_ = -1;
  bool exists_ = false;
};

}  // namespace

bool publish_tree(const fs::path& out_dir, const std::function<void(OutputSink&)>& emit,
                  Diagnostics& diags) {
  std::error_code ec;
  fs::path dir = fs::absolute(out_dir, ec).lexically_normal();
  if (!dir.has_filename()) dir = dir.parent_path();
  if (ec || !dir.has_filename() || dir == dir.root_path()) {
    diags.error(out_dir.string(), 0, "cannot use this path as the output folder");
    return false;
  }
  return Publisher(dir, diags).run(emit);
}

}  // namespace tablegen
