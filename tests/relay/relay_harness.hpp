// SPDX-License-Identifier: Apache-2.0
// What the relay's tests share: the relay as a child process, a versioned
// pool of real objects written by the test, and the comparison of what Redis
// holds with the pool, made from the objects' snapshots and the catalogue's
// pointer slots (not from the relay's own code).
#pragma once

#include <gtest/gtest.h>
#include <zim/sim/pool_versions.h>

#include <string>
#include <vector>

#include "redis_server.hpp"
#include "zim/tables/catalogue.hpp"

namespace zim_relay_test {

namespace cat = zim_tables::catalogue;

// zim_tables_relay running, its standard output and error on one pipe.
class RelayProcess {
 public:
  RelayProcess(const std::string& pool, const std::string& socket,
               const std::vector<std::string>& options = {});
  // Another tool (the mirror) with these arguments.
  RelayProcess(const char* tool, const std::vector<std::string>& arguments);
  ~RelayProcess();
  // Reads until the output holds `what` (false after 20 s idle).
  bool printed(const std::string& what);
  // Its exit status after SIGTERM (or on its own when it ended).
  int stop(int signal = SIGTERM);
  void pause(bool paused) const;
  // What it printed so far, without waiting.
  const std::string& text();

 private:
  void start(const char* tool, const std::vector<std::string>& arguments);
  pid_t pid_ = -1;
  int out_ = -1;
  std::string text_;
};

// One object of the pool the test follows.
struct Tracked {
  const cat::TableType* type;
  void* obj;
  bool retired = false;
};

// A versioned pool of this process, with objects of a counted, a per-NPU and
// a fixed type.
class SourcePool {
 public:
  explicit SourcePool(uint64_t feed_capacity = 1024);
  ~SourcePool();
  const std::string& name() const { return name_; }
  // The first type of each of three classes.
  static std::vector<const cat::TableType*> types();
  // A new object, every field and element set from `seed`; its first write ended.
  Tracked& add(const cat::TableType* type, uint32_t count, unsigned seed);
  // A new version of it, every field set from `seed`.
  void change(Tracked& t, unsigned seed);
  std::vector<Tracked>& objects() { return objects_; }
  // This process's objects where they lie after it adopted the pool again.
  void adopt_again(const std::vector<uint64_t>& offsets);
  // The pool destroyed and made again, empty, under its name: a server that
  // starts over.
  void make_again();

 private:
  void create();
  static void fill(const cat::TableType& type, void* obj, unsigned seed);
  std::string name_;
  uint64_t feed_capacity_;
  std::vector<Tracked> objects_;
};

// The object as a mirror must hold it: its snapshot, each array's two
// pointers as offsets from the snapshot's first byte.
std::string expected_image(const Tracked& t);

// What differs between Redis and the pool's tracked objects (empty: none):
// each live object's hash value (version, fingerprint, image equal to its
// snapshot with pointers as offsets, layout record published), no value of a
// retired one, and the stream's versions rising per object up to the hash's.
std::string mirror_difference(const zim_test::RedisServer& redis, const std::string& pool,
                              const std::vector<Tracked>& objects);

// Waits (up to 30 s) until mirror_difference is empty; the last difference.
std::string wait_for_mirror(const zim_test::RedisServer& redis, const std::string& pool,
                            const std::vector<Tracked>& objects);

}  // namespace zim_relay_test
