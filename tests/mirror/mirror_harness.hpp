// SPDX-License-Identifier: Apache-2.0
// What the mirror's tests share: the mirror as a child process, and a pool
// as a mirror must hold it, read from the objects' snapshots with the
// catalogue's pointer slots (not from the mirror's code): per pool id its
// table id and image, the index's keys that lead to live objects, and the
// source versions the mirror recorded.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pool_view.hpp"
#include "relay_harness.hpp"

namespace zim_mirror_test {

using zim_relay_test::RelayProcess;
using zim_relay_test::SourcePool;
using zim_relay_test::Tracked;

// The name of a pool for a mirror, removed with this, since it outlives the
// mirror.
struct LocalPool {
  LocalPool();
  ~LocalPool();
  std::string name;
};

// Creates, changes, retires objects and puts and removes keys, at random.
void stress(SourcePool& pool, unsigned seed, int steps);

// zim_tables_mirror of the source pool `pool` into the local pool `local`.
std::unique_ptr<RelayProcess> start_mirror(const std::string& pool, const std::string& local,
                                           const std::string& socket,
                                           const std::vector<std::string>& options = {});

// What `zim_tables_mirror --status` tells of a local pool.
struct Recorded {
  uint64_t applied = 0, loads = 0;
  std::map<uint64_t, uint64_t> versions;  // live source pool ids: the source version held
};
Recorded recorded(const std::string& local);

// What differs between the source's tracked objects and index (this
// process's pool) and the local pool, the mirror's record included; empty
// when nothing does.
std::string difference(const std::vector<Tracked>& objects, const std::string& local);

// Waits (up to 30 s) until difference is empty; the last difference.
std::string wait_equal(const std::vector<Tracked>& objects, const std::string& local);

}  // namespace zim_mirror_test
