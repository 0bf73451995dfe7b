// SPDX-License-Identifier: Apache-2.0
// pools_equal [--wait SECONDS] SOURCE COPY...: whether each copy holds the
// source pool's live objects (pool id, table id, snapshot image) and index
// keys, and nothing else; with --wait, reads them again every 100 ms until
// they are equal or SECONDS pass. Exit status 0 when equal, 1 when a copy
// differs (one line naming it and the first difference), 2 for bad
// arguments or a source without objects.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pool_view.hpp"

namespace {

using zim_mirror_test::PoolView;

// The first copy that differs from the source, with what differs; empty
// when none does.
std::string first_difference(const std::string& source, const std::vector<std::string>& copies,
                             size_t& objects) {
  PoolView from;
  if (!zim_mirror_test::read_pool(source, from)) return source + ": cannot be read";
  objects = from.objects.size();
  for (const std::string& name : copies) {
    PoolView copy;
    if (!zim_mirror_test::read_pool(name, copy)) return name + ": cannot be read";
    const std::string d = zim_mirror_test::view_difference(from, copy);
    if (!d.empty()) return name + ": " + d;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  long wait_seconds = 0;
  if (words.size() >= 2 && words[0] == "--wait") {
    wait_seconds = std::strtol(words[1].c_str(), nullptr, 10);
    words.erase(words.begin(), words.begin() + 2);
  }
  if (words.size() < 2 || wait_seconds < 0) {
    std::fputs("usage: pools_equal [--wait SECONDS] SOURCE COPY...\n", stderr);
    return 2;
  }
  const std::vector<std::string> copies(words.begin() + 1, words.end());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
  size_t objects = 0;
  std::string d;
  while (!(d = first_difference(words[0], copies, objects)).empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (d.empty() && objects == 0) d = words[0] + ": holds no object to compare";
  if (!d.empty()) {
    std::fprintf(stderr, "pools_equal: %s\n", d.c_str());
    return objects == 0 ? 2 : 1;
  }
  std::printf("pools_equal: %zu objects of %s in each of %zu copies\n", objects, words[0].c_str(),
              copies.size());
  return 0;
}
