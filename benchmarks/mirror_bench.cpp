// SPDX-License-Identifier: Apache-2.0
// A source pool, its relay into a redis-server of the bench's own and two
// mirrors of it on this machine, each mirror's pool followed by a local
// reader (one clock for every stamp).
//   zim_mirror_bench rates|reconverge --relay TOOL --mirror TOOL
//       --redis-conf FILE --socket PATH --folder DIR [--objects N]
//       [--rates R1,R2,...] [--seconds S] [--changes C]
// rates: a writer paced at each rate in turn for S seconds, rewriting N
// objects round robin; per rate the highest lag of the mirrors, the time
// they take to reach the last write once it stopped, and the
// change-to-mirror latencies.
// reconverge: N objects; the mirrors' first load, then the time each takes
// to hold C changes made while it was stopped (a resume from the stream),
// and while redis-server restarted empty (the relay refills, mirrors load).
#include "mirror_bench.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace zim_mirror_bench {

// The logs start empty: the figures count lines in them.
Rig::Rig(const Options& o, const std::string& name) : options(o), source(name) {
  unlink((o.folder + "/relay.log").c_str());
  for (int i = 0; i < kMirrors; ++i) unlink(mirror_log(i).c_str());
}

std::string Rig::mirror_log(int i) const {
  return options.folder + "/mirror" + std::to_string(i) + ".log";
}

void Rig::start_redis() {
  unlink(options.socket.c_str());
  redis = std::make_unique<Process>(std::vector<std::string>{"redis-server", options.redis_conf},
                                    options.folder + "/redis.out");
  struct stat st {};
  for (int ms = 0; stat(options.socket.c_str(), &st) != 0; ms += 10) {
    if (ms > 10'000) fail("redis-server did not make its socket");
    usleep(10'000);
  }
}

void Rig::start_mirror(int i) {
  const std::string bytes = std::to_string(Source::pool_bytes(options.objects));
  const std::string count = std::to_string(options.objects + 1024);
  mirrors[i] = std::make_unique<Process>(
      std::vector<std::string>{options.mirror, "--pool", source, "--local-pool", local(i),
                               "--redis", options.socket, "--json", "--retry-cap-ms", "200",
                               "--pool-size", bytes, "--objects", count, "--index-capacity", count,
                               "--feed-capacity", std::to_string(1u << 20)},
      mirror_log(i));
}

namespace {

std::vector<uint64_t> parse_list(const std::string& text) {
  std::vector<uint64_t> values;
  std::istringstream in(text);
  for (std::string word; std::getline(in, word, ',');)
    values.push_back(std::strtoull(word.c_str(), nullptr, 10));
  return values;
}

bool parse(int argc, char** argv, Options& o) {
  if (argc < 2) return false;
  o.mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    const uint64_t number = std::strtoull(value.c_str(), nullptr, 10);
    if (name == "--relay")
      o.relay = value;
    else if (name == "--mirror")
      o.mirror = value;
    else if (name == "--redis-conf")
      o.redis_conf = value;
    else if (name == "--socket")
      o.socket = value;
    else if (name == "--folder")
      o.folder = value;
    else if (name == "--objects")
      o.objects = number;
    else if (name == "--seconds")
      o.seconds = number;
    else if (name == "--changes")
      o.changes = number;
    else if (name == "--rates")
      o.rates = parse_list(value);
    else
      return false;
  }
  return (argc % 2 == 0) && !o.relay.empty() && !o.mirror.empty() && !o.redis_conf.empty() &&
         !o.socket.empty() && !o.folder.empty() && o.objects > 1 && o.seconds > 0 &&
         !o.rates.empty();
}

}  // namespace

}  // namespace zim_mirror_bench

int main(int argc, char** argv) {
  zim_mirror_bench::Options options;
  if (!zim_mirror_bench::parse(argc, argv, options)) {
    std::fputs(
        "usage: zim_mirror_bench rates|reconverge --relay TOOL --mirror TOOL --redis-conf FILE\n"
        "         --socket PATH --folder DIR [--objects N] [--rates R1,R2] [--seconds S]\n"
        "         [--changes C]\n",
        stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
  if (options.mode == "rates") return zim_mirror_bench::run_rates(options);
  if (options.mode == "reconverge") return zim_mirror_bench::run_reconverge(options);
  std::fprintf(stderr, "zim_mirror_bench: unknown mode\n");
  return 2;
}
