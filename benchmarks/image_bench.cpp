// SPDX-License-Identifier: Apache-2.0
// Saving and restoring a versioned pool against a plain copy of its bytes,
// wall time in the same run: a pool of olists (count 4, or --count) and untyped blocks,
// each made, filled and filed in the index; then, for each round, the
// segment's bytes copied to a file (read, write, fsync), `zim_tables_inspect
// save` of it, `zim_tables_inspect restore` of that image, and the copied
// bytes written back into a new segment. Medians of the rounds, and each
// rate as a ratio to its plain copy.
//   zim_image_bench TOOL [--objects N] [--count C] [--rounds R] [--folder DIR]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// User and system time of this process and of its waited-for children.
double cpu_seconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    getrusage(who, &u);
    total += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
             static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
  }
  return total;
}

// A step's wall time, and its CPU time added to *cpu: on a machine shared
// with other work the wall time includes waits for a core.
double seconds_of(const std::function<bool()>& step, bool* ok, std::vector<double>* cpu) {
  const auto start = Clock::now();
  const double cpu_start = cpu_seconds();
  *ok = step() && *ok;
  cpu->push_back(cpu_seconds() - cpu_start);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Copies `from` to a new file `to` in 1 MiB steps, then syncs it.
bool copy_file(const std::string& from, const std::string& to, bool sync) {
  const int in = open(from.c_str(), O_RDONLY);
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char> buf(1 << 20);
  bool ok = in >= 0 && out >= 0;
  for (ssize_t n; ok && (n = read(in, buf.data(), buf.size())) > 0;) {
    ok = write(out, buf.data(), static_cast<size_t>(n)) == n;
  }
  if (ok && sync) ok = fsync(out) == 0;
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return ok;
}

// Room for the objects, the untyped blocks, their heads and the index (128
// bytes a key); 64 MiB at least, as the figures before --count were made.
uint64_t pool_bytes(uint64_t objects, uint32_t count) {
  const uint64_t bytes = objects * (qor_olist_get_obj_size(count) + 128 + 128) +
                         objects / 4 * (256 + 128) + (16u << 20);
  return bytes < (64u << 20) ? (64u << 20) : bytes;
}

bool fill_pool(const char* name, uint64_t objects, uint32_t count) {
  const zim_shm_pool_options_t options{1, 0, 1024, objects + objects / 4};
  if (zim_shm_pool_create_with(name, pool_bytes(objects, count), &options) != 0) return false;
  for (uint64_t i = 0; i < objects; ++i) {
    qor_olist_obj* o = zim_srv_olist_ctor_with_shm(count);
    if (o == nullptr) return false;
    for (uint32_t e = 0; e < count; ++e) zim_olist_set_field_2(o, e, i + e);
    zim_shm_pool_write_end(o);
    if (zim_shm_pool_index_put(ZIM_TABLE_ID_OLIST, i, o, nullptr) < 0) return false;
    if (i % 4 != 0) continue;
    void* block = zim_shm_pool_calloc_untyped(256);
    if (block == nullptr) return false;
    std::memset(block, static_cast<int>(i), 256);
    zim_shm_pool_write_end(block);
  }
  return true;
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Wall and CPU seconds of each round's four steps: copy out, save, restore, copy in.
struct Rounds {
  std::vector<double> wall[4], cpu[4];
};

bool run_rounds(const std::string& tool, const std::string& name, const std::string& plain,
                const std::string& image, int rounds, Rounds* r) {
  const std::string restored = name + ".restored";
  const auto command = [](const std::string& words) {
    return std::system((words + " >/dev/null").c_str()) == 0;
  };
  const std::function<bool()> steps[4] = {
      [&] { return copy_file("/dev/shm" + name, plain, true); },
      [&] { return command(tool + " save " + name + " " + image); },
      [&] { return command(tool + " restore " + image + " " + restored); },
      [&] { return copy_file(plain, "/dev/shm" + restored, false); }};
  bool ok = true;
  for (int round = 0; round < rounds && ok; ++round) {
    for (int step = 0; step < 4; ++step) {
      r->wall[step].push_back(seconds_of(steps[step], &ok, &r->cpu[step]));
      if (step == 2) zim_shm_pool_destroy_name(restored.c_str());  // untimed
    }
    unlink(("/dev/shm" + restored).c_str());
  }
  return ok;
}

void print_rows(const Rounds& r, uint64_t objects) {
  enum { kCopyOut, kSave, kRestore, kCopyIn };
  const struct {
    const char* step;
    int at, baseline;
  } rows[] = {{"plain copy out", kCopyOut, kCopyOut},
              {"save", kSave, kCopyOut},
              {"plain copy in", kCopyIn, kCopyIn},
              {"restore", kRestore, kCopyIn}};
  std::printf("%-16s %10s %14s %8s %10s %8s\n", "step", "wall ms", "objects/s", "x copy", "cpu ms",
              "x copy");
  for (const auto& row : rows) {
    const double wall = median(r.wall[row.at]), cpu = median(r.cpu[row.at]);
    std::printf("%-16s %10.1f %14.0f %8.2f %10.1f %8.2f\n", row.step, wall * 1e3,
                static_cast<double>(objects) / wall, wall / median(r.wall[row.baseline]), cpu * 1e3,
                cpu / median(r.cpu[row.baseline]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(
        "usage: zim_image_bench TOOL [--objects N] [--count C] [--rounds R] [--folder DIR]\n",
        stderr);
    return 2;
  }
  uint64_t objects = 50000;
  uint32_t count = 4;
  int rounds = 5;
  std::string folder = "/tmp";
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--objects") objects = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--count") count = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (option == "--rounds") rounds = std::atoi(argv[i + 1]);
    if (option == "--folder") folder = argv[i + 1];
  }
  const std::string pid = std::to_string(getpid());
  const std::string name = "/zim_image_bench." + pid;
  const std::string plain = folder + "/zim_image_bench." + pid + ".bytes";
  const std::string image = folder + "/zim_image_bench." + pid + ".image";
  if (!fill_pool(name.c_str(), objects, count)) return std::perror("fill"), 1;
  Rounds r;
  const bool ok = run_rounds(argv[1], name, plain, image, rounds, &r);
  const uint64_t pool_bytes = zim_shm_pool_size(), image_bytes = file_size(image);
  zim_shm_pool_detach();
  unlink(plain.c_str());
  unlink(image.c_str());
  if (!ok) return std::fputs("a step failed\n", stderr), 1;
  const uint64_t total = objects + (objects + 3) / 4;
  std::printf("%llu objects; pool %llu bytes, image %llu bytes; medians of %d rounds\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(pool_bytes),
              static_cast<unsigned long long>(image_bytes), rounds);
  print_rows(r, total);
  return 0;
}
