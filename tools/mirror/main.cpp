// SPDX-License-Identifier: Apache-2.0
// zim_tables_mirror: keeps a local versioned pool equal to one a relay
// publishes into Redis.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

#include "mirror.hpp"
#include "status_report.hpp"
#include "tool_options.hpp"

namespace {

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
  zim_relay::RedisOptionBlock redis(options.redis);
  uint32_t npus = 0, npd_size = 0;
  bool status = false;
  app.add_option("--pool", options.source, "the source pool's name, e.g. /tables")->required();
  app.add_option("--local-pool", options.local.name,
                 "the local pool's name (default: the source's; another one on the source's "
                 "machine)");
  redis.add_login(app, false);  // --status needs no Redis
  redis.add_retry_cap(app);
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
  redis.add_json(app);
  app.add_flag("--status", status, "print what the local pool records and end");
  CLI11_PARSE(app, argc, argv);

  if (options.local.name.empty()) options.local.name = options.source;
  if (status) {
    return zim_mirror::print_status(options.local.name, options.redis.json, std::cout, std::cerr);
  }
  configure_platform(app, npus, npd_size);
  std::string why;
  if (zim_relay::pool_name_fits(options.source, why) && redis.read(why)) {
    return zim_mirror::run_mirror(options, std::cout);
  }
  std::cerr << "zim_tables_mirror: " << why << "\n";
  return zim_mirror::kRefused;
}
