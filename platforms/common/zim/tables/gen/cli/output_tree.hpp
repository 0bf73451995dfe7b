// SPDX-License-Identifier: Apache-2.0
// Puts a complete set of generated files in place as one step.
//
// The output folder belongs to the generator: it holds exactly the files of
// the last successful run and a marker that says so. A run builds the new set
// in a staging folder beside it as the files are made (staged_files.hpp:
// unchanged files as hard links, so their modification times stay and nothing
// recompiles) and then exchanges the two folders atomically. Whatever fails or is killed, the
// folder holds either the old or the new complete set; a staging folder left by a run killed beyond
// recall (SIGKILL, a crash) is removed by the next one.
#pragma once

#include <filesystem>
#include <functional>

#include "gen/emit/generated_file.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// Replaces the content of out_dir by the files that emit makes into its sink,
// with the permissions the umask gives. Reports every failure to diags and
// returns false, leaving out_dir as it was. SIGINT, SIGTERM or SIGHUP
// meanwhile end the process once no staging folder is left, with out_dir
// holding the old or the new set.
bool publish_tree(const std::filesystem::path& out_dir,
                  const std::function<void(OutputSink&)>& emit, Diagnostics& diags);

}  // namespace tablegen
