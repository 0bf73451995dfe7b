// SPDX-License-Identifier: Apache-2.0
#include "format_command.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "catalogue_loader.hpp"
#include "emit.hpp"

namespace fs = std::filesystem;

namespace tablegen {
namespace {

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

// A temporary file beside the definition, renamed over it: a reader sees the
// old text or the new, never part of either. A symbolic link is followed, so
// that the link stays and its target changes.
bool replace_file(const fs::path& path, const std::string& text, Diagnostics& diags) {
  std::error_code ec;
  const fs::path target = fs::is_symlink(path, ec) ? fs::canonical(path, ec) : path;
  struct stat st {};
  if (ec || stat(target.c_str(), &st) != 0) {
    diags.error(path.string(), 0, "cannot rewrite: " + (ec ? ec.message() : std::strerror(errno)));
    return false;
  }
  std::string temp =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    diags.error(path.string(), 0,
                std::string("cannot create a file beside it: ") + std::strerror(errno));
    return false;
  }
  int error = 0;
  if (!write_all(fd, text) || fchmod(fd, st.st_mode & 07777) != 0 || fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    diags.error(path.string(), 0, std::string("cannot rewrite: ") + std::strerror(error));
    unlink(temp.c_str());
  }
  return error == 0;
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
  bool ok = true;
  for (const auto& def : defs) {
    const std::string text = emit_definition(def);
    if (text != def.text) ok = replace_file(def.path, text, diags) && ok;
  }
  return ok;
}

}  // namespace tablegen
