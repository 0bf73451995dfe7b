// SPDX-License-Identifier: Apache-2.0
// The one way the generator reads a file: whole, bounded, and only if it is
// a regular file, checked on the descriptor it reads from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "gen/text/diagnostics.hpp"

namespace tablegen {

enum class ReadFault { kNone, kCannotOpen, kNotRegular, kTooLarge, kCannotRead };

struct FileText {
  std::string text;
  ReadFault fault = ReadFault::kNone;
  int error = 0;  // errno, for kCannotOpen and kCannotRead
};

// The file `name` of the folder dir_fd (AT_FDCWD: name is a path) if it
// holds at most max_bytes; a symbolic link is followed unless follow_links
// is false. A file that grows while it is read is too large, not cut.
FileText read_file(int dir_fd, const std::string& name, uint64_t max_bytes,
                   bool follow_links = true);

// Whether `name` of dir_fd is a regular file, not a symbolic link, that
// holds exactly `expected`; reads at most one byte more than that.
bool file_holds(int dir_fd, const std::string& name, const std::string& expected);

// A kind of file, as messages name it: "a definition", at most 1 MiB.
struct FileKind {
  const char* what;
  uint64_t max_bytes;
  const char* max_text;
};

// What went wrong, for a message at the file's path: "cannot read: why",
// "not a regular file", "larger than a definition can be (1 MiB)".
std::string read_fault_text(const FileText& file, const FileKind& kind);

// The file at path, or nothing after reporting why not at its path.
std::optional<std::string> read_text_file(const std::filesystem::path& path, const FileKind& kind,
                                          Diagnostics& diags);

}  // namespace tablegen
