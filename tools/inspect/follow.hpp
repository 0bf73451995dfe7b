// SPDX-License-Identifier: Apache-2.0
// follow: a versioned pool's changes as they happen, one line each, from a
// mapping of the pool (follow.cpp), rendered as text or JSON lines
// (follow_render.cpp).
#pragma once

#include <zim/sim/pool_versions.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "decode.hpp"
#include "pool.hpp"

namespace zim_inspect {

struct FollowOptions {
  bool json = false;
  bool decode = false;  // created and changed objects with their decoded fields
};

// What a follower tells besides a change, each on a line of its own.
struct FollowEvent {
  enum Kind { start, lost, lapped, resynced, end } kind;
  uint64_t sequence = 0;  // start, resynced: the next change read; lost, lapped: the first unknown
  uint64_t mark = 0;      // lapped, lost: the last change known whole
  uint64_t objects = 0;   // resynced: objects visited
  std::string text;       // start: the pool's name; end: why
};

// One line for a change of the feed, or for an object that a resync found;
// `decoded`, when given, is what decode read of the object (JSON, or text
// that follows the line indented).
void print_change(std::ostream& out, const zim_shm_pool_change_t& change, bool json,
                  const std::optional<Json>& decoded, const std::string& decoded_text);
void print_resync_object(std::ostream& out, const zim_shm_pool_object_version_t& object, bool json,
                         const std::optional<Json>& decoded, const std::string& decoded_text);
void print_event(std::ostream& out, const FollowEvent& event, bool json);

// The feed's name of a change's kind: "created", "changed", ... "lost".
std::string change_kind_name(uint32_t kind);

// Maps the pool `name` and prints its changes until SIGINT or SIGTERM, the
// pool's destruction, or its hand-over to a successor, each told on a last
// line; then unmaps it. 0, or -1 with the reason in `error` when the pool
// cannot be followed (not mapped, not versioned, a damaged feed).
int follow_pool(const std::string& name, const PoolContext& context, const FollowOptions& options,
                std::ostream& out, std::string& error);

}  // namespace zim_inspect
