// SPDX-License-Identifier: Apache-2.0
// A versioned pool as its readers see it: every live table object by pool
// id (its table id and snapshot image) and the index's keys that lead to
// them, read by a child process that attaches the pool, so that a process
// that maps a pool of its own can read another.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace zim_mirror_test {

struct PoolView {
  std::map<uint64_t, std::pair<uint32_t, std::string>> objects;  // pool id: table id, image (hex)
  std::map<std::pair<uint32_t, uint64_t>, uint64_t> keys;        // (table id, key): pool id
};

// The keys of this process's mapped pool that lead to objects of the view.
void add_mapped_keys(PoolView& view);

// The pool `name`'s view; false when it cannot be attached or read.
bool read_pool(const std::string& name, PoolView& view);

// The bytes as lowercase hex, as a view holds images.
std::string hex(const std::string& bytes);

// The first difference between a source's view and a copy's (an object
// missing, differing or too many, a key that leads elsewhere); empty when
// they are equal.
std::string view_difference(const PoolView& source, const PoolView& copy);

}  // namespace zim_mirror_test
