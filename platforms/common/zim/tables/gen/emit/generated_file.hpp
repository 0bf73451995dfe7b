// SPDX-License-Identifier: Apache-2.0
// The files an emitter makes, and where they go: one file at a time, and a
// file of the whole catalogue in pieces, so that no run holds its output
// whole in memory (at the largest catalogue it is gigabytes).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tablegen {

struct GeneratedFile {
  std::filesystem::path relative_path;  // below the folder of its kind, or the output folder
  std::string content;
};

// Receives a set of generated files: open a file, write its text in any
// number of pieces, close it, then the next one.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void open(const std::filesystem::path& relative_path) = 0;
  virtual void write(std::string_view text) = 0;
  virtual void close() = 0;
  // False once the sink has failed; it then ignores what follows, and the
  // emitters stop early rather than make text that goes nowhere.
  virtual bool ok() const { return true; }

  void add(const GeneratedFile& file) {
    open(file.relative_path);
    write(file.content);
    close();
  }
};

}  // namespace tablegen
