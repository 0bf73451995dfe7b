// SPDX-License-Identifier: Apache-2.0
// zim_tablegen's time and peak memory on catalogues far larger than the
// platform's: --check and a full generation into a new output folder. The
// catalogues are made from the real definitions, cycled and renumbered, so
// that every class and shape of type appears in its real proportion.
//
//   zim_tablegen_scale [--runs N] [--work DIR] [COUNT...]   (default 1000 10000 65536)
//
// Each measurement runs the tool as a child: its CPU time (user and system,
// from wait4: on a shared machine wall time says more of the neighbours than
// of the tool) is the median of N runs, peak memory the largest resident set
// the kernel saw.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct RealType {
  std::string name;
  std::vector<std::string> lines;
};

std::vector<RealType> real_types(const fs::path& dir) {
  std::map<unsigned long, RealType> by_id;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".tdef") continue;
    std::ifstream in(entry.path());
    RealType t;
    unsigned long id = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("table ", 0) == 0) t.name = line.substr(6);
      if (line.rfind("id ", 0) == 0) id = std::stoul(line.substr(3));
      t.lines.push_back(line);
    }
    by_id[id] = std::move(t);
  }
  std::vector<RealType> types;
  for (auto& [id, t] : by_id) types.push_back(std::move(t));
  return types;
}

// Type `id` takes the shape of real type id % size, a name that starts with
// its id (so no two types' names or header identifiers meet) and trace
// identifiers of its own that repeat as the real type's do.
std::string synthesised(const RealType& real, unsigned id, std::string& name) {
  name = ("t" + std::to_string(id) + "_" + real.name).substr(0, 22);
  while (name.back() == '_') name.pop_back();
  std::string text;
  for (const std::string& line : real.lines) {
    if (line.rfind("# ", 0) == 0 && text.empty()) {
      text += "# " + name + ": table id " + std::to_string(id) + "\n";
    } else if (line.rfind("table ", 0) == 0) {
      text += "table " + name + "\n";
    } else if (line.rfind("id ", 0) == 0) {
      text += "id " + std::to_string(id) + "\n";
    } else if (line.rfind("wisp ", 0) == 0) {
      std::istringstream values(line.substr(5));
      std::map<std::string, unsigned> renamed;
      text += "wisp";
      for (std::string v; values >> v;) {
        const auto it = renamed.emplace(v, 6 * id + static_cast<unsigned>(renamed.size())).first;
        text += " " + std::to_string(it->second);
      }
      text += "\n";
    } else {
      text += line + "\n";
    }
  }
  return text;
}

void write_catalogue(const std::vector<RealType>& real, unsigned count, const fs::path& dir) {
  fs::create_directories(dir);
  for (unsigned id = 0; id < count; ++id) {
    std::string name;
    const std::string text = synthesised(real[id % real.size()], id, name);
    char file[64];
    std::snprintf(file, sizeof file, "%03u_%s.tdef", id, name.c_str());
    std::ofstream(dir / file, std::ios::binary) << text;
  }
}

struct Measure {
  double cpu_seconds = 0;
  long max_rss_kib = 0;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

Measure run_tool(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(ZIM_TABLEGEN)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(ZIM_TABLEGEN, argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::cerr << "zim_tablegen_scale: zim_tablegen failed\n";
    std::exit(1);
  }
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss};
}

Measure median(std::vector<Measure> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const Measure& a, const Measure& b) { return a.cpu_seconds < b.cpu_seconds; });
  Measure m = runs[runs.size() / 2];
  for (const auto& r : runs) m.max_rss_kib = std::max(m.max_rss_kib, r.max_rss_kib);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  fs::path work;
  std::vector<unsigned> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg.find_first_not_of("0123456789") == std::string::npos &&
               std::stoul(arg) - 1 < 65536) {
      counts.push_back(static_cast<unsigned>(std::stoul(arg)));
    } else {
      std::cerr << "usage: zim_tablegen_scale [--runs N] [--work DIR] [COUNT...]\n"
                   "  COUNT: 1 to 65536 types (default 1000 10000 65536)\n";
      return 2;
    }
  }
  if (counts.empty()) counts = {1000, 10000, 65536};
  if (work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "zim_tablegen_scale.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    work = pattern;
  }
  const auto real = real_types(ZIM_DEFS_DIR);
  std::printf(
      "zim_tablegen on catalogues cycled from %zu real definitions, %u cores, "
      "median of %d runs\n",
      real.size(), std::thread::hardware_concurrency(), runs);
  std::printf("%8s %12s %12s %14s %12s %10s\n", "types", "check cpu s", "check MiB",
              "generate cpu s", "generate MiB", "output MiB");
  for (unsigned count : counts) {
    const fs::path defs = work / ("defs_" + std::to_string(count)), out = work / "out";
    fs::remove_all(defs);
    write_catalogue(real, count, defs);
    std::vector<Measure> check, generate;
    uintmax_t bytes = 0;
    for (int r = 0; r < runs; ++r) {
      check.push_back(run_tool({"--check", defs.string()}));
      fs::remove_all(out);
      generate.push_back(run_tool({defs.string(), out.string()}));
    }
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      if (entry.is_regular_file()) bytes += entry.file_size();
    }
    fs::remove_all(out);
    fs::remove_all(defs);
    const Measure c = median(check), g = median(generate);
    std::printf("%8u %12.2f %12.1f %14.2f %12.1f %10.1f\n", count, c.cpu_seconds,
                c.max_rss_kib / 1024.0, g.cpu_seconds, g.max_rss_kib / 1024.0, bytes / 1048576.0);
    std::fflush(stdout);
  }
  fs::remove(work);
  return 0;
}
