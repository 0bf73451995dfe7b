// SPDX-License-Identifier: Apache-2.0
// What the command-line tools of the package share: how a tool presents itself
// to --help and --version, and how it reports a usage error.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>

namespace tablegen {

// A tool's command line before its options: the name its messages and
// --version give, the sentence --help starts with and the text it ends with.
inline void describe_tool(CLI::App& app, const std::string& name, const std::string& about,
                          const std::string& version, const std::string& footer) {
  app.name(name);
  app.description(about);
  app.set_version_flag("--version", name + " " + version);
  app.footer(footer);
}

// A usage error, its message already escaped, and where the usage is.
inline void print_usage_error(std::ostream& err, const std::string& tool,
                              const std::string& message) {
  err << tool << ": error: " << message << "\nRun '" << tool << " --help' for usage.\n";
}

}  // namespace tablegen
