// SPDX-License-Identifier: Apache-2.0
// The new set of a generation, put in a staging folder beside the output
// folder as each file is made (output_tree.hpp exchanges the two).
//
// Each file is compared with the output folder's file of its name as its
// text arrives, and nothing is written while they agree: a file that comes
// out the same becomes a hard link to the old one (its modification time
// stays, so nothing recompiles), and a set that comes out the same as the
// folder's never makes a staging folder at all. The text passes through a
// bounded buffer, so a file of the whole catalogue is never held whole.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/text/diagnostics.hpp"
#include "gen/text/held_signals.hpp"

namespace tablegen {

// The permissions a folder gets from mkdir(0777) under the process's umask.
// The generator runs one thread, so nothing is created while the umask is
// briefly set to read it.
mode_t folder_mode();

class StagedFiles final : public OutputSink {
 public:
  // old_set: whether out_dir exists to compare with. Files are staged in a
  // new folder of parent named staging_prefix and six random characters.
  StagedFiles(const std::filesystem::path& out_dir, bool old_set, std::string staging_prefix,
              const HeldSignals& held, Diagnostics& diags);
  // Removes a staging folder that was not taken.
  ~StagedFiles() override;
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  void open(const std::filesystem::path& relative_path) override;
  void write(std::string_view text) override;
  void close() override;
  bool ok() const override { return !failed_; }

  // After the last file: the staging folder holding the complete new set,
  // which the caller now owns; empty when the output folder already holds
  // exactly that set. False after reporting a failure.
  bool finish(std::filesystem::path& staging);

 private:
  bool fail(const std::filesystem::path& path, const std::string& what, int error);
  bool make_staging();
  bool make_parent(const std::filesystem::path& target);
  bool start_copy();
  bool link_unchanged(const std::filesystem::path& relative_path);
  void take(std::string_view text);
  void flush();
  bool matches_old(std::string_view text);
  bool write_new(std::string_view text);
  bool old_ends_here();
  void drop_descriptors();

  const std::filesystem::path out_dir_;
  const bool old_set_;
  const std::string staging_prefix_;
  const HeldSignals& held_;
  Diagnostics& diags_;
  std::filesystem::path staging_;
  std::set<std::filesystem::path> made_folders_;  // below staging_, each made once
  std::vector<std::filesystem::path> unchanged_;  // identical so far, to link once staging
  bool failed_ = false;

  // The file under way: its text not yet compared or written, how much of the
  // old file it matched so far, and while it matches (same_) nothing staged.
  std::filesystem::path file_;
  std::string pending_;
  uint64_t matched_ = 0;
  bool same_ = false;
  int old_fd_ = -1, new_fd_ = -1;
};

}  // namespace tablegen
