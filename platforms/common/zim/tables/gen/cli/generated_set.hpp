// SPDX-License-Identifier: Apache-2.0
// Every file that a generation writes, made one at a time into a sink, and
// the sinks of the modes that print rather than publish.
#pragma once

#include <ostream>
#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// Each type's unit and header in table-id order, then the files of the whole
// catalogue; stops early once out fails.
void emit_generated_set(const std::vector<TypeLayout>& types, OutputSink& out);

// Prints each file's path below the output folder, one a line; the text goes
// nowhere.
class PathListing final : public OutputSink {
 public:
  explicit PathListing(std::ostream& to) : to_(to) {}
  void open(const std::filesystem::path& relative_path) override {
    to_ << relative_path.generic_string() << "\n";
  }
  void write(std::string_view) override {}
  void close() override {}

 private:
  std::ostream& to_;
};

// Prints the text of the files it is given, without their paths.
class TextPrinter final : public OutputSink {
 public:
  explicit TextPrinter(std::ostream& to) : to_(to) {}
  void open(const std::filesystem::path&) override {}
  void write(std::string_view text) override { to_ << text; }
  void close() override {}

 private:
  std::ostream& to_;
};

}  // namespace tablegen
