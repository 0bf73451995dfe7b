// SPDX-License-Identifier: Apache-2.0
// libzim_memory: news of the pool as a whole in a versioned pool's feed, and
// the version line of a converted object.

#include "versions/pool_news.hpp"

#include "names/names.hpp"

namespace zim_sim {

PoolNews::PoolNews(PoolHeader* hdr) {
  if (hdr == nullptr || !is_versioned(hdr)) return;
  stamp_ = writer_stamp(hdr);
  on_ = stamp_ != 0 && open_rooms(hdr, &rooms_);
}

uint64_t PoolNews::draw() { return on_ ? feed_draw(rooms_.feed, appender_token(stamp_)) : 0; }

void PoolNews::publish(uint64_t s, const FeedEntry& entry, bool made) {
  if (s == 0) return;
  FeedEntry e = entry;
  if (!made) e = news_entry(FeedKind::lost, 0, 0, 0, 0);
  feed_publish(rooms_.feed, s, e);
}

void PoolNews::tell(const FeedEntry& entry) { publish(draw(), entry); }

FeedEntry news_entry(FeedKind kind, uint32_t table_id, uint64_t offset, uint64_t new_offset,
                     uint64_t pool_id) {
  FeedEntry e{};
  e.kind = kind;
  e.table_id = table_id;
  e.offset = offset;
  e.new_offset = new_offset;
  e.pool_id = pool_id;
  return e;
}

uint64_t pool_id_at(PoolHeader* hdr, uint64_t offset) {
  bool in_pool = false;
  const VersionLine* line =
      offset != 0 ? line_of(hdr, reinterpret_cast<char*>(hdr) + offset, &in_pool) : nullptr;
  return line != nullptr ? line->pool_id.load(std::memory_order_relaxed) : 0;
}

void fill_converted_line(PoolHeader* hdr, uint64_t at, const VersionLine& old, uint64_t sequence,
                         uint64_t stamp) {
  const uint64_t version = old.version.load(std::memory_order_acquire);
  const bool under_way = (version & 1) != 0;
  uint64_t words[4] = {version, old.pool_id.load(std::memory_order_relaxed), stamp, 0};
  if (sequence != 0) words[0] = 2 * sequence | (under_way ? 1 : 0);
  if (under_way) words[2] = old.writer.load(std::memory_order_acquire);
  fill(reinterpret_cast<char*>(hdr) + at, words, sizeof words);
}

void set_root_announced(PoolHeader* hdr, uint64_t offset) {
  PoolNews news(hdr);
  const uint64_t s = news.draw();
  hdr->root.store(offset, std::memory_order_release);
  news.publish(s, news_entry(FeedKind::root_changed, 0, offset, 0, pool_id_at(hdr, offset)));
}

}  // namespace zim_sim
