// SPDX-License-Identifier: Apache-2.0
// Rewriting files of one folder in place, each in one step and without
// losing a save made meanwhile.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "gen/text/diagnostics.hpp"

namespace tablegen {

struct Rewrite {
  std::string name;   // the file's name in the folder
  std::string shown;  // the file as messages name it
  std::string read;   // the bytes the new text was made from
  std::string text;   // the new text
};

// Replaces each file of dir by its new text, with its owner, group and mode,
// unless it changed since it was read (a save is never lost); files with
// several links and read-only ones are refused. Runs take turns on a folder
// through a lock on it, under which the temporary files of killed runs are
// removed, also when no file is given. Returns false after reporting any
// problem.
bool rewrite_files(const std::filesystem::path& dir, const std::vector<Rewrite>& files,
                   Diagnostics& diags);

}  // namespace tablegen
