// SPDX-License-Identifier: Apache-2.0
#include "tool_options.hpp"

#include <CLI/CLI.hpp>
#include <fstream>

#include "codec/printable.hpp"

namespace zim_relay {
namespace {

constexpr size_t kMaxPoolNameBytes = 255;
constexpr size_t kMaxPasswordBytes = 4096;

// The file's first line, a trailing CR dropped: a password never travels on
// the command line, where any user's ps shows it.
bool read_password(const std::string& path, std::string& password, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read the password file " + zim_codec::quote(path);
    return false;
  }
  std::string text(kMaxPasswordBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  const size_t eol = text.find('\n');
  if (text.size() > kMaxPasswordBytes && eol == std::string::npos) {
    why = "the password file " + zim_codec::quote(path) + " holds more than " +
          std::to_string(kMaxPasswordBytes) + " bytes";
    return false;
  }
  password = text.substr(0, eol);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    why = "the password file " + zim_codec::quote(path) + " holds no password";
    return false;
  }
  return true;
}

}  // namespace

void RedisOptionBlock::add_login(CLI::App& app, bool required) {
  parser_requires_redis_ = required;
  app.add_option("--redis", address_, "a Unix socket path, or host:port")->required(required);
  app.add_option("--user", into_.credentials.user, "the ACL user to log in as");
  app.add_option("--password-file", password_file_, "a file whose first line is the password");
}

void RedisOptionBlock::add_retry_cap(CLI::App& app) {
  app.add_option("--retry-cap-ms", into_.retry_cap_ms,
                 "the longest wait before connecting to Redis again")
      ->check(CLI::Range(uint64_t{100}, uint64_t{600'000}));
}

void RedisOptionBlock::add_json(CLI::App& app) {
  app.add_flag("--json", into_.json, "status lines as JSON");
}

bool RedisOptionBlock::read(std::string& why) {
  if (address_.empty() && !parser_requires_redis_) {  // else the address's check says why
    why = "--redis is required";
  } else if (!into_.credentials.user.empty() && password_file_.empty()) {
    why = "--user needs --password-file";
  } else if (const auto parsed = parse_address(address_, why)) {
    into_.address = *parsed;
    return password_file_.empty() || read_password(password_file_, into_.credentials.password, why);
  }
  return false;
}

bool pool_name_fits(const std::string& name, std::string& why) {
  if (name.size() <= kMaxPoolNameBytes) return true;
  why = "the pool name is longer than " + std::to_string(kMaxPoolNameBytes) + " bytes";
  return false;
}

}  // namespace zim_relay
