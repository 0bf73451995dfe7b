// SPDX-License-Identifier: Apache-2.0
// zim_pool_fill_bench's two contenders: objects made in a versioned pool,
// and the same bytes written into a plain tmpfs file.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/brmac.h>
#include <zim/tables/olist.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "pool_fill.hpp"

namespace fill_bench {

namespace {

// What the allocator puts in front of an object in a versioned pool: the
// line's block header, the line (32 bytes) and the object's block header.
constexpr uint64_t kPrefix = 16 + 32 + 16;
constexpr uint64_t kPage = 4096;

void* make_one(int type) {
  if (type == 0) return zim_srv_olist_ctor_with_shm(3);
  return zim_srv_brmac_ctor_with_shm();
}

// The pages of the mapped pool that hold bytes, besides the objects' spans.
void record_other_pages(Footprint* footprint) {
  char* base = static_cast<char*>(zim_shm_pool_base());
  const uint64_t size = zim_shm_pool_size();
  std::vector<unsigned char> resident((size + kPage - 1) / kPage);
  if (mincore(base, size, resident.data()) != 0) fail("mincore");
  std::vector<bool> spanned(resident.size());
  for (size_t i = 0; i < footprint->span_at.size(); ++i) {
    const uint64_t at = footprint->span_at[i], end = at + footprint->span_bytes[i];
    for (uint64_t page = at / kPage; page <= (end - 1) / kPage; ++page) spanned[page] = true;
  }
  for (uint64_t page = 0; page < resident.size(); ++page) {
    if ((resident[page] & 1) != 0 && !spanned[page]) footprint->other_pages.push_back(page * kPage);
  }
}

}  // namespace

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

bool make_objects(uint64_t objects, int type) {
  for (uint64_t i = 0; i < objects; ++i) {
    void* obj = make_one(type);
    if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) return false;
  }
  return true;
}

bool fill_pool(const char* name, uint64_t size, uint64_t objects, int type, Footprint* footprint) {
  const zim_shm_pool_options_t versioned{1, 0, 1024, 16};
  if (zim_shm_pool_create_with(name, size, &versioned) != 0) return false;
  if (footprint == nullptr) return make_objects(objects, type);
  for (uint64_t i = 0; i < objects; ++i) {
    void* obj = make_one(type);
    if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) return false;
    uint32_t id = 0;
    uint64_t bytes = 0;
    const uint64_t at = zim_shm_pool_offset_of(obj);
    if (zim_shm_pool_block_at(at, &id, &bytes) == nullptr) return false;
    footprint->span_at.push_back(at - kPrefix);
    footprint->span_bytes.push_back(kPrefix + bytes);
  }
  record_other_pages(footprint);
  return true;
}

void touch(char* base, const Footprint& footprint, uint64_t shift) {
  for (uint64_t at : footprint.other_pages) base[at + shift] = 1;
  for (size_t i = 0; i < footprint.span_at.size(); ++i) {
    std::memset(base + footprint.span_at[i] + shift, 1, footprint.span_bytes[i]);
  }
}

char* create_mapped_file(const char* name, uint64_t size) {
  const int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return nullptr;
  void* base = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
    base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  return base == MAP_FAILED ? nullptr : static_cast<char*>(base);
}

}  // namespace fill_bench
