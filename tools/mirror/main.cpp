// SPDX-License-Identifier: Apache-2.0
// zim_tables_mirror: keeps a local versioned pool equal to one a relay
// publishes into Redis.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

#include "codec/printable.hpp"
#include "mirror.hpp"
#include "password_file.hpp"
#include "status_report.hpp"

namespace {

constexpr size_t kMaxPoolNameBytes = 255;

// The simulated platform reads its configuration from the environment, once:
// the options set it before anything reads it.
void configure_platform(const CLI::App& app, uint32_t npus, uint32_t npd_size) {
  if (app.count("--npus") != 0) setenv("ZIM_MAX_NUM_NPUS", std::to_string(npus).c_str(), 1);
  if (app.count("--npd-size") != 0) {
    setenv("ZIM_NPD_SIZE", std::to_string(npd_size).c_str(), 1);
    unsetenv("ZIM_NPD_SIZES");
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Keeps a local versioned pool equal to the pool a relay publishes into Redis: "
      "objects by the source's pool ids, their layouts and the index's keys."};
  zim_mirror::MirrorOptions options;
  std::string address, password_file;
  uint32_t npus = 0, npd_size = 0;
  bool status = false;
  app.add_option("--pool", options.source, "the source pool's name, e.g. /tables")->required();
  app.add_option("--local-pool", options.local.name,
                 "the local pool's name (default: the source's; another one on the source's "
                 "machine)");
  app.add_option("--redis", address, "a Unix socket path, or host:port");
  app.add_option("--user", options.credentials.user, "the ACL user to log in as");
  app.add_option("--password-file", password_file, "a file whose first line is the password");
  app.add_option("--retry-cap-ms", options.retry_cap_ms,
                 "the longest wait before connecting to Redis again")
      ->check(CLI::Range(uint64_t{100}, uint64_t{600'000}));
  app.add_option("--npus", npus, "N, the NPU count (default: the platform's)")
      ->check(CLI::Range(0u, 4096u));
  app.add_option("--npd-size", npd_size,
                 "the NPD size of every table id (default: the platform's)");
  app.add_option("--pool-size", options.local.pool_size, "bytes of a local pool made anew")
      ->check(CLI::Range(uint64_t{1} << 20, uint64_t{1} << 40));
  app.add_option("--feed-capacity", options.local.feed_capacity, "its feed's entries")
      ->check(CLI::Range(uint64_t{8}, uint64_t{1} << 20));
  app.add_option("--index-capacity", options.local.index_capacity, "its index's keys")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 26));
  app.add_option("--objects", options.local.record_capacity,
                 "source pool ids its record holds, retired ones included")
      ->check(CLI::Range(uint64_t{16}, uint64_t{1} << 26));
  app.add_flag("--json", options.json, "status lines as JSON");
  app.add_flag("--status", status, "print what the local pool records and end");
  CLI11_PARSE(app, argc, argv);

  if (options.local.name.empty()) options.local.name = options.source;
  if (status) {
    return zim_mirror::print_status(options.local.name, options.json, std::cout, std::cerr);
  }
  configure_platform(app, npus, npd_size);
  std::string why;
  if (options.source.size() > kMaxPoolNameBytes) {
    why = "the pool name is longer than " + std::to_string(kMaxPoolNameBytes) + " bytes";
  } else if (address.empty()) {
    why = "--redis is required";
  } else if (!options.credentials.user.empty() && password_file.empty()) {
    why = "--user needs --password-file";
  } else if (const auto parsed = zim_relay::parse_address(address, why)) {
    options.address = *parsed;
    if (password_file.empty() ||
        zim_relay::read_password(password_file, options.credentials.password, why)) {
      return zim_mirror::run_mirror(options, std::cout);
    }
  }
  std::cerr << "zim_tables_mirror: " << why << "\n";
  return zim_mirror::kRefused;
}
