// SPDX-License-Identifier: Apache-2.0
// zim_shm_pool_attach's handshake against a pool whose every table type has a
// layout record (the platform's catalogue, whose notes this program carries
// through all_tables.h), with one and with many objects per type: the cost
// must follow the types, not the objects.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <zim/tables/catalogue.hpp>

namespace {

// A server process that fills the pool and keeps it until its pipe closes.
struct Server {
  pid_t pid = -1;
  int keep = -1;  // closing it ends the server
};

Server serve(const std::string& name, int objects_per_type) {
  int ready[2], keep[2];
  if (pipe(ready) != 0 || pipe(keep) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(keep[1]);
    if (zim_shm_pool_create(name.c_str(), 256u << 20) != 0) _exit(1);
    for (uint32_t id = 0; id < ZIM_NUM_TABLE_TYPES; ++id) {
      for (int i = 0; i < objects_per_type; ++i) {
        // Of the type's size: the pool holds each block to its type's layout.
        const uint32_t size = zim_tables::catalogue::types[id].ops.get_obj_size(0);
        if (zim_shm_table_pool_calloc(id, size) == nullptr) _exit(2);
      }
    }
    if (write(ready[1], "r", 1) != 1) _exit(3);
    char c;
    while (read(keep[0], &c, 1) > 0) {
    }
    zim_shm_pool_detach();
    _exit(0);
  }
  close(ready[1]);
  close(keep[0]);
  char c;
  if (read(ready[0], &c, 1) != 1) std::abort();
  close(ready[0]);
  return {pid, keep[1]};
}

void BM_AttachHandshake(benchmark::State& state) {
  const int per_type = static_cast<int>(state.range(0));
  const std::string name = "/zim_handshake_bench." + std::to_string(getpid());
  const Server server = serve(name, per_type);
  for (auto _ : state) {
    if (zim_shm_pool_attach(name.c_str()) != 0) {
      state.SkipWithError("attach refused");
      break;
    }
    zim_shm_pool_detach();
  }
  state.counters["types"] = ZIM_NUM_TABLE_TYPES;
  state.counters["objects"] = static_cast<double>(per_type) * ZIM_NUM_TABLE_TYPES;
  close(server.keep);
  waitpid(server.pid, nullptr, 0);
}
BENCHMARK(BM_AttachHandshake)->Arg(0)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
