// SPDX-License-Identifier: Apache-2.0
#include "time_rows.hpp"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zim_bench {
namespace {

namespace cat = zim_tables::catalogue;

[[noreturn]] void usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--cpu N] [TYPE | TYPE:COUNT]...\n", program);
  std::exit(2);
}

long number(const char* program, const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 0 || value > 65535) usage(program);
  return value;
}

const cat::TableType* known_type(const char* program, const std::string& name) {
  const cat::TableType* type = cat::find(name.c_str());
  if (type == nullptr) {
    std::fprintf(stderr, "%s: no type %s\n", program, name.c_str());
    std::exit(2);
  }
  return type;
}

void add_cases(std::vector<Case>& cases, const cat::TableType* type, long count,
               const std::vector<uint32_t>& counts) {
  if (!type->takes_count()) {
    cases.push_back({type, 0});
  } else if (count >= 0) {
    cases.push_back({type, static_cast<uint32_t>(count)});
  } else {
    for (const uint32_t c : counts) cases.push_back({type, c});
  }
}

}  // namespace

TimeArgs time_args(const char* program, int argc, char** argv,
                   const std::vector<uint32_t>& counts) {
  TimeArgs args{-1, {}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--cpu") {
      if (++i == argc) usage(program);
      args.cpu = static_cast<int>(number(program, argv[i]));
    } else {
      const size_t colon = arg.find(':');
      add_cases(args.cases, known_type(program, arg.substr(0, colon)),
                colon == std::string::npos ? -1 : number(program, arg.c_str() + colon + 1), counts);
    }
  }
  if (args.cases.empty()) {
    for (size_t i = 0; i < cat::type_count; ++i) add_cases(args.cases, &cat::types[i], -1, counts);
  }
  return args;
}

void pin_to_core(const char* program, int cpu) {
  if (cpu < 0) cpu = sched_getcpu();
  if (cpu < 0 || cpu >= CPU_SETSIZE) {
    std::fprintf(stderr, "%s: no core %d to pin to\n", program, cpu);
    std::exit(2);
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) {
    std::fprintf(stderr, "%s: cannot pin to core %d: %s\n", program, cpu, std::strerror(errno));
    std::exit(2);
  }
  std::printf("# cpu %d\n", cpu);
}

}  // namespace zim_bench
