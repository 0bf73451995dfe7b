// SPDX-License-Identifier: Apache-2.0
// zim_tables_relay: publishes a versioned pool's changes into Redis.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "relay.hpp"
#include "tool_options.hpp"

int main(int argc, char** argv) {
  CLI::App app{
      "Publishes a versioned pool's changes into Redis: one stream of changes, the "
      "latest image of every object and each layout record, for mirrors elsewhere."};
  zim_relay::RelayOptions options;
  zim_relay::RedisOptionBlock redis(options.redis);
  app.add_option("POOL", options.pool, "the versioned pool's name, e.g. /tables")->required();
  redis.add_login(app, true);
  app.add_option("--stream-bound", options.stream_bound,
                 "entries the stream keeps at least (XADD MAXLEN ~)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
  redis.add_retry_cap(app);
  redis.add_json(app);
  CLI11_PARSE(app, argc, argv);

  std::string why;
  if (zim_relay::pool_name_fits(options.pool, why) && redis.read(why)) {
    return zim_relay::run_relay(options, std::cout);
  }
  std::cerr << "zim_tables_relay: " << why << "\n";
  return zim_relay::kRefused;
}
