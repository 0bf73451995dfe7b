// SPDX-License-Identifier: Apache-2.0
// A write of one object of a versioned pool, as a scope: the constructor
// opens the object's bracket (zim_shm_pool_write_begin), the destructor or
// end() closes it (zim_shm_pool_write_end), which gives the object its next
// version and tells followers of the change.
//
//   {
//     zim_tables::write_scope scope(obj);  // throws std::system_error on refusal
//     if (scope.torn()) rewrite_every_field(obj);
//     zim_olist_set_field_1(obj, 7);
//   }                                      // whole again, announced
//
// A refusal throws: a write that cannot begin (EBUSY: another write of the
// object is under way; EINVAL: not an object of the mapped pool; EAGAIN: no
// writer slot left) must not go on as if it had, and the accessors would end
// the process at its first set. Objects without a version (heap, pools
// without versions) open and close nothing. A destructor cannot throw: it
// reports a failed write_end on stderr; call end() first to have it thrown.
// C++11 and later; links the pool's library (zim_tables::sim_memory).
#pragma once

#include <zim/sim/pool_versions.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace zim_tables {

class write_scope {
 public:
  explicit write_scope(void* obj) : obj_(obj) {
    const int begun = zim_shm_pool_write_begin(obj);
    if (begun < 0) {
      throw std::system_error(errno, std::generic_category(), "zim_shm_pool_write_begin");
    }
    torn_ = begun == 1;
  }
  write_scope(const write_scope&) = delete;
  write_scope& operator=(const write_scope&) = delete;
  ~write_scope() {
    if (obj_ != nullptr && zim_shm_pool_write_end(obj_) != 0) {
      std::fprintf(stderr, "zim_tables::write_scope: zim_shm_pool_write_end: %s\n",
                   std::strerror(errno));
    }
  }

  // Its last writer died inside a write: the object may be torn, rewrite it whole.
  bool torn() const { return torn_; }

  // Closes the bracket now; throws std::system_error when write_end refuses.
  void end() {
    void* const obj = obj_;
    obj_ = nullptr;
    if (obj != nullptr && zim_shm_pool_write_end(obj) != 0) {
      throw std::system_error(errno, std::generic_category(), "zim_shm_pool_write_end");
    }
  }

 private:
  void* obj_;
  bool torn_ = false;
};

}  // namespace zim_tables
