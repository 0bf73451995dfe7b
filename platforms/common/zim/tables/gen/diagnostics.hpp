// Compiler-style error collection: "path:line: error: message".
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tablegen {

class Diagnostics {
 public:
  void error(const std::string& path, int line, const std::string& message) {
    messages_.push_back(location(path, line) + "error: " + message);
  }
  void note(const std::string& path, int line, const std::string& message) {
    messages_.push_back(location(path, line) + "note: " + message);
  }
  bool has_errors() const { return !messages_.empty(); }
  void print(std::ostream& out) const {
    for (const auto& m : messages_) out << m << '\n';
  }

 private:
  static std::string location(const std::string& path, int line) {
    return line > 0 ? path + ":" + std::to_string(line) + ": " : path + ": ";
  }
  std::vector<std::string> messages_;
};

}  // namespace tablegen
