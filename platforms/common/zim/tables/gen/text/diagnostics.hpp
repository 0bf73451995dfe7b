// SPDX-License-Identifier: Apache-2.0
// Compiler-style messages, "path:line: error: message", collected so that a
// run reports every problem it finds before it writes anything.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "gen/text/printable.hpp"

namespace tablegen {

// A word of the input, quoted for a message.
inline std::string quote(std::string_view word) { return "'" + printable(word, 48) + "'"; }

// One message line, "path:line: kind: message", or "path: kind: message" for
// line 0: the form of every message the generator prints.
inline std::string message_line(std::string_view path, int line, std::string_view kind,
                                std::string_view message, size_t max_message_bytes = 240) {
  std::string where = printable(path, 240) + ":";
  if (line > 0) where += std::to_string(line) + ":";
  return where + " " + std::string(kind) + ": " + printable(message, max_message_bytes);
}

class Diagnostics {
 public:
  void error(const std::string& path, int line, const std::string& message) {
    add(path, line, "error", message);
    ++errors_;
  }
  void note(const std::string& path, int line, const std::string& message) {
    add(path, line, "note", message);
  }
  bool has_errors() const { return errors_ != 0; }
  size_t error_count() const { return errors_; }
  void print(std::ostream& out) const {
    for (const auto& m : messages_) out << m << '\n';
  }

 private:
  void add(const std::string& path, int line, const char* kind, const std::string& message) {
    messages_.push_back(message_line(path, line, kind, message));
  }

  std::vector<std::string> messages_;
  size_t errors_ = 0;
};

}  // namespace tablegen
