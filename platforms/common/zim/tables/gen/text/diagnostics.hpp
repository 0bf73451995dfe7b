// SPDX-License-Identifier: Apache-2.0
// Compiler-style messages, "path:line: error: message", collected so that a
// run reports every problem it finds before it writes anything.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "codec/printable.hpp"

namespace tablegen {

using namespace zim_codec;

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
