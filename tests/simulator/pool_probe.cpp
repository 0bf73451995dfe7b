// SPDX-License-Identifier: Apache-2.0
// A second process for the pool's handshake tests, with its own configuration
// (environment) and, built with PROBE_TYPE, its own layout of probe_entry
// (probe_defs/a or b), table id 0. Commands, the pool's name last:
//   serve NAME    create the pool, make a block of table id 0 holding 77 under
//                 the root, print "ready", run until stdin closes
//   attach NAME   attach; print the root's value (exit 0) or errno (3)
//   adopt NAME    the same, adopting the pool instead
//   make NAME     attach, print "attached", wait for a line on stdin (or its end), make
//                 a block of table id 0: exit 0, or 4 when the pool refuses it
//   make NAME LIB the same, after loading the library LIB (dlopen)
//   premake NAME LIB  make one block before loading LIB, then as make
// Built with PROBE_LIBRARY, it is that library: the layout note alone.
#ifdef PROBE_TYPE
#include <zim/tables/probe_entry.h>
#endif
#ifndef PROBE_LIBRARY
#include <dlfcn.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The layout note comes with the type's header; the blocks are made with the
// allocator directly, whose refusal this probe reports.
void* make() { return zim_shm_table_pool_calloc(0, 64); }

int serve(const char* name) {
  if (zim_shm_pool_create(name, 1u << 20) != 0) return 2;
  auto* obj = static_cast<uint64_t*>(make());
  if (obj == nullptr) return 4;
  *obj = 77;
  zim_shm_pool_set_root(zim_shm_pool_offset_of(obj));
  std::printf("ready\n");
  std::fflush(stdout);
  char c;
  while (read(STDIN_FILENO, &c, 1) > 0) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 1;
  const std::string command = argv[1];
  if (command == "serve") return serve(argv[2]);
  if ((command == "adopt" ? zim_shm_pool_adopt : zim_shm_pool_attach)(argv[2]) != 0) {
    std::printf("%s\n", std::strerror(errno));
    return zim_shm_pool_base() == nullptr ? 3 : 5;
  }
  if (command == "attach" || command == "adopt") {
    const auto* root =
        static_cast<const uint64_t*>(zim_shm_pool_block_at(zim_shm_pool_root(), nullptr, nullptr));
    std::printf("%llu\n", root != nullptr ? static_cast<unsigned long long>(*root) : 0ull);
    return 0;
  }
  std::printf("attached\n");
  std::fflush(stdout);
  char c;
  if (read(STDIN_FILENO, &c, 1) < 0) return 1;  // a line, or stdin closed
  if (command == "premake" && make() == nullptr) return 6;
  if (argc == 4 && dlopen(argv[3], RTLD_NOW) == nullptr) return 7;
  return make() != nullptr ? 0 : 4;
}
#endif
