// SPDX-License-Identifier: Apache-2.0
// libzim_memory: announcing in a versioned pool's feed a change that another
// room makes to an object (a retirement), its sequence drawn before the change.

#include "names/names.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

ChangeAnnouncer::ChangeAnnouncer(PoolHeader* hdr) : hdr_(hdr) {
  if (!is_versioned(hdr)) return;
  const uint64_t stamp = writer_stamp(hdr);
  on_ = stamp != 0 && open_rooms(hdr, &rooms_);
  token_ = appender_token(stamp);
}

void ChangeAnnouncer::draw(const void* obj) {
  sequence_ = 0;
  bool in_pool = false;
  VersionLine* line = on_ ? line_of(hdr_, obj, &in_pool) : nullptr;
  line_ = line;
  if (line == nullptr) return;
  entry_ = {};
  entry_.table_id = object_table_id(hdr_, obj);
  entry_.offset = zim_shm_pool_offset_of(obj);
  entry_.pool_id = line->pool_id.load(std::memory_order_relaxed);
  sequence_ = feed_draw(rooms_.feed, token_);
}

void ChangeAnnouncer::keep_retirement() {
  if (sequence_ == 0 || line_ == nullptr) return;
  put(line_->retired, 2 * sequence_);
}

void ChangeAnnouncer::publish(FeedKind kind, bool made) {
  if (sequence_ == 0) return;
  entry_.kind = made ? kind : FeedKind::lost;
  feed_publish(rooms_.feed, sequence_, entry_);
  sequence_ = 0;
}

}  // namespace zim_sim
