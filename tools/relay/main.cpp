// SPDX-License-Identifier: Apache-2.0
// zim_tables_relay: publishes a versioned pool's changes into Redis.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "codec/printable.hpp"
#include "password_file.hpp"
#include "relay.hpp"

namespace {

constexpr size_t kMaxPoolNameBytes = 255;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Publishes a versioned pool's changes into Redis: one stream of changes, the "
      "latest image of every object and each layout record, for mirrors elsewhere."};
  zim_relay::RelayOptions options;
  std::string address, password_file;
  app.add_option("POOL", options.pool, "the versioned pool's name, e.g. /tables")->required();
  app.add_option("--redis", address, "a Unix socket path, or host:port")->required();
  app.add_option("--user", options.credentials.user, "the ACL user to log in as");
  app.add_option("--password-file", password_file, "a file whose first line is the password");
  app.add_option("--stream-bound", options.stream_bound,
                 "entries the stream keeps at least (XADD MAXLEN ~)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
  app.add_option("--retry-cap-ms", options.retry_cap_ms,
                 "the longest wait before connecting to Redis again")
      ->check(CLI::Range(uint64_t{100}, uint64_t{600'000}));
  app.add_flag("--json", options.json, "status lines as JSON");
  CLI11_PARSE(app, argc, argv);

  std::string why;
  if (options.pool.size() > kMaxPoolNameBytes) {
    why = "the pool name is longer than " + std::to_string(kMaxPoolNameBytes) + " bytes";
  } else if (!options.credentials.user.empty() && password_file.empty()) {
    why = "--user needs --password-file";
  } else if (const auto parsed = zim_relay::parse_address(address, why)) {
    options.address = *parsed;
    if (password_file.empty() ||
        zim_relay::read_password(password_file, options.credentials.password, why)) {
      return zim_relay::run_relay(options, std::cout);
    }
  }
  std::cerr << "zim_tables_relay: " << why << "\n";
  return zim_relay::kRefused;
}
