// SPDX-License-Identifier: Apache-2.0
// The mirror's reads of a pool's keys in Redis (docs/design/relay.md): the
// epoch, the stream's ends and entries, the set of tables, the hashes a
// bounded step at a time, and the layout records. Replies are outside
// bytes: anything not shaped as asked for is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "publication.hpp"
#include "redis_link.hpp"
#include "stream_entry.hpp"

namespace zim_mirror {

using zim_relay::Outcome;

// Bounds of what the mirror reads: stream entries nest five deep, and each
// may carry an object's image.
inline constexpr zim_relay::ReplyBounds kMirrorBounds{size_t{64} << 20, size_t{1} << 17, 5};
inline constexpr uint64_t kEntriesAtOnce = 512;
// Fields an HSCAN step asks for: a load's round trips.
inline constexpr uint64_t kScanStep = 512;

// A scan step's fields and values, as views into the source's reply: they
// last until its next scan (other reads leave them).
using HashItems = std::vector<std::pair<std::string_view, std::string_view>>;

// The pool's state in Redis, read as one.
struct SourceHead {
  uint64_t epoch = 0;   // 0: none
  uint64_t source = 0;  // the source pool's identity; 0: not told
  bool filled = false;  // the relay has published every object of the epoch
  StreamId last;        // the stream's last entry id (0-0: none)
};

class RedisSource {
 public:
  RedisSource(zim_relay::RedisLink& link, const std::string& pool)
      : link_(link), keys_(pool), changes_key_(keys_.changes()) {}

  Outcome head(SourceHead& head, std::string& message);
  // The stream's first entry id (0-0: none).
  Outcome first(StreamId& first, std::string& message);
  // Up to kEntriesAtOnce entries after `after`, waiting up to block_ms for one,
  // and the stream's first entry id as it stood after the read (one round
  // trip: the two commands pipelined, run in this order). The entries stay
  // this source's until its next read, which reuses their buffers.
  Outcome read(const StreamId& after, uint64_t block_ms, const std::vector<Reply>*& entries,
               StreamId& first, std::string& message);
  // Whether any entry of the stream was trimmed away since the stream began
  // (true also when Redis does not tell).
  Outcome trimmed(bool& trimmed, std::string& message);
  // The table ids that have an objects or keys hash.
  Outcome tables(std::vector<uint32_t>& ids, std::string& message);
  // One HSCAN step of `hash` from `cursor` ("0" first; "0" again at the end).
  // The next step is asked for before this one returns, so that Redis makes
  // it while the caller applies this one; any other read first takes its
  // reply, which waits for the scan's next call.
  Outcome scan(const std::string& hash, std::string& cursor, HashItems& items,
               std::string& message);
  // The layout record of a fingerprint; nothing when Redis has none.
  Outcome layout_record(uint64_t fingerprint, std::optional<std::string>& text,
                        std::string& message);

  const zim_relay::PoolKeys& keys() const { return keys_; }

 private:
  Outcome malformed(const std::string& what, std::string& message) const;
  // Takes the reply of a scan step asked for ahead, so that the link is free
  // for another command.
  void settle();
  zim_relay::RedisLink& link_;
  zim_relay::PoolKeys keys_;
  std::string changes_key_;
  std::vector<Reply> read_replies_;
  // The caller's step's reply, and the one asked for ahead.
  std::vector<Reply> scan_replies_[2];
  int scan_at_ = 0;  // which of the two holds the caller's items
  struct Ahead {
    std::string hash, cursor;
    uint64_t connection = 0;
    bool sent = false, read = false;
    Outcome outcome = Outcome::done;
    std::string message;
  };
  Ahead ahead_;
};

}  // namespace zim_mirror
