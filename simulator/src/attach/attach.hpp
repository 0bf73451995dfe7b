// SPDX-License-Identifier: Apache-2.0
// Create and attach: making a pool (zim_shm_pool_create, and the default
// pool a process makes for itself when it allocates first), attaching to one
// and detaching (shm_pool.cpp, default_pool.cpp), mapping a versioned pool
// as a follower, which holds no attach lock (follower.cpp), the attachers'
// locks (attach_locks.hpp), and the accessors of the mapped pool. Internal
// to libzim_memory.
//
// Its rules: a creator builds the pool in an unnamed file that it holds the
// owner's flock of, stores the magic last, after the header and the
// configuration record, and only then links the name: no name leads to a pool
// being built, and a creator killed on the way leaves nothing. An attacher
// passes the handshake against the pool's configuration and layout records
// and holds, for as long as it maps the pool, an attach lock of the epoch
// that stood under the pool's lock when it passed.
//
// What it writes: at creation, before the magic, the fresh header (version,
// creator_pid, owner_pid, size, creator_base, the carve point, the lock) and,
// through records/, the configuration record; then the magic. Afterwards only
// PoolHeader::root (zim_shm_pool_set_root) and next_uid
// (zim_shm_pool_next_uid), one atomic store or increment each, without the
// pool's lock. Attach locks are open-file-description locks on bytes far past
// the segment's end: they write no byte. What it only reads: the epoch, for
// the attach lock; for the accessors, the root and the mapped pool's carve
// point, start map and block headers, checked against this process's own
// mapping size.
//
// Uses segment/, records/ (the configuration record, the handshake), names/
// (claiming a name, the mapping), versions/ (a root change told in a
// versioned pool's feed) and platform/ (environment parsing). The attach
// gate, which a hand-over and a migration close, is attach_gate.hpp's.
#ifndef ZIM_SIM_SRC_ATTACH_ATTACH_HPP
#define ZIM_SIM_SRC_ATTACH_ATTACH_HPP

#include <functional>

#include "segment/segment.hpp"

namespace zim_sim {

// Creates the pool `name` of `size` bytes as zim_shm_pool_create does;
// `prepare`, when given, writes what a kind of pool adds to the fresh header
// (its version, its own state, records of its own carved after the
// configuration record) with plain stores, before the magic; false with errno
// fails the creation.
using PrepareHeader = std::function<bool(PoolHeader*)>;
int create_pool(const char* name, uint64_t size, const PrepareHeader& prepare);

// Maps the default pool (see shm_pool.h) if no pool is mapped; null, after a
// message on stderr, when it cannot be created (default_pool.cpp).
PoolHeader* map_default_pool();

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_ATTACH_ATTACH_HPP
