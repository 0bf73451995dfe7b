// SPDX-License-Identifier: Apache-2.0
// The command-line options the relay and the mirror share: those that fill
// RedisOptions, and the bound on a pool's name.
#pragma once

#include <string>

#include "tool_loop.hpp"

namespace CLI {
class App;
}

namespace zim_relay {

// Added in the order each tool's help lists them; read() checks what was
// given once parsing is done, and reads the address and the password file.
class RedisOptionBlock {
 public:
  explicit RedisOptionBlock(RedisOptions& into) : into_(into) {}
  // --redis (required by the parser when `required`), --user, --password-file.
  void add_login(CLI::App& app, bool required);
  void add_retry_cap(CLI::App& app);  // --retry-cap-ms
  void add_json(CLI::App& app);       // --json
  bool read(std::string& why);        // false with why

 private:
  RedisOptions& into_;
  std::string address_, password_file_;
  bool parser_requires_redis_ = false;
};

// Whether a pool's name fits the platform's bound; else why not.
bool pool_name_fits(const std::string& name, std::string& why);

}  // namespace zim_relay
