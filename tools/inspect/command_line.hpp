// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect's command line: its subcommands with their options, and
// the checks of its words that come before CLI11 parses them.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zim_inspect {

struct Options {
  std::string catalogue, type, file, pool;
  std::optional<uint32_t> npus, npd, count, uid;
  std::optional<uint64_t> offset;
  bool json = false, list = false, decode = false;
};

struct Subcommands {
  CLI::App *types, *layout, *decode, *pool, *history, *destroy, *follow, *save, *restore;
};

// Describes the tool on `app` and adds its subcommands, whose options parse
// into `o`.
Subcommands describe_command_line(CLI::App& app, Options& o);

// Before CLI11 sees the words: it calls a misspelt subcommand a missing one
// and refuses a subcommand's option given before it without saying where it
// belongs.
void check_command_word(int argc, char** argv, const std::vector<CLI::App*>& subcommands);

}  // namespace zim_inspect
