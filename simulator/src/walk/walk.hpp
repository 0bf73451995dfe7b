// SPDX-License-Identifier: Apache-2.0
// The walk: the blocks of a pool found through their headers
// (zim_shm_pool_walk, zim_shm_pool_walk_headers, zim_shm_pool_walk_mapped and
// zim_shm_pool_piece_read, in pool_walk.cpp), for tools that inspect a pool,
// possibly one that another process still uses or that holds damage.
// Internal to libzim_memory: it declares nothing of its own; the walk's
// entry points are the API of zim/sim/shm_pool.h.
//
// Its rule: trust nothing in the segment. The carve point is checked against
// the segment's real size, a block header counts only when its block ends
// before the carve point, and whatever else lies there is reported as damage.
// A walk by name reads with pread, never through a mapping.
//
// What it writes: nothing of any segment; this thread's note of the piece
// being visited, for zim_shm_pool_piece_read. What it reads: the header
// facts, the block headers up to the carve point, and the bytes of blocks:
// each block's for zim_shm_pool_walk and zim_shm_pool_walk_mapped, those a
// visit asks for through zim_shm_pool_piece_read.
//
// Uses segment/ (the format, the header facts) and names/ (the name rules,
// the pool this process maps).
#ifndef ZIM_SIM_SRC_WALK_WALK_HPP
#define ZIM_SIM_SRC_WALK_WALK_HPP

#include <zim/sim/shm_pool.h>

#endif  // ZIM_SIM_SRC_WALK_WALK_HPP
