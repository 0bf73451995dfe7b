// SPDX-License-Identifier: Apache-2.0
// Images: the listing of a mapped pool's index for a tool that saves the
// pool (index_list.cpp), and the making of a kept versioned pool from an
// image a tool read (image_check.cpp checks it, image_restore.cpp makes the
// pool). Internal to libzim_memory; the API is zim/sim/pool_image.h.
//
// Its rules: an image is outside bytes, however carefully its reader
// checked them: every count, size, id and version is checked again here, and
// each object of a type with a layout record is held to that record by the
// object converter, before the pool is created. The making writes only a
// pool it created itself and nobody has adopted: through the allocator
// (blocks recorded with the image's layouts), then, holding the pool's lock
// where other processes could race (the index), each object's line (pool id
// and version, once its bytes are in), the pool id counter, the feed's next
// sequence, the index's keys and the root slot; the hand-over last, so that a
// pool is kept only once it is whole. A failure destroys the pool.
//
// Uses segment/, alloc/, records/ (this process's configuration, layout
// notes), names/ (the mapped pool), versions/ (lines, the rooms), feed/,
// index/, upgrade/ (the room the feed and index take) and the object
// converter.
#ifndef ZIM_SIM_SRC_IMAGE_IMAGE_HPP
#define ZIM_SIM_SRC_IMAGE_IMAGE_HPP

#include <zim/sim/pool_image.h>
#include <zim/tables/migration.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "records/records.hpp"

namespace zim_sim {

using ImagePlan = std::unique_ptr<zim_table_migration_t, void (*)(zim_table_migration_t*)>;

// What the checks of an image leave for the making: each recorded table id's
// layout (as the allocator records it) and the plan that lays its objects'
// pointers out at their new address, and where each pool id's object lies in
// the image.
struct CheckedImage {
  std::map<uint32_t, NoteLayout> layouts;
  std::map<uint32_t, ImagePlan> plans;
  std::unordered_map<uint64_t, uint64_t> by_pool_id;  // pool id -> index into objects
  uint64_t last_pool_id = 0;                          // the largest drawn or held
};

// Checks `image` whole against this process and a pool of its size: 0, or an
// errno (EINVAL, EPROTO, ENOSPC) with what is wrong in *why.
int check_image(const zim_shm_pool_image_t& image, CheckedImage* checked, std::string* why);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_IMAGE_IMAGE_HPP
