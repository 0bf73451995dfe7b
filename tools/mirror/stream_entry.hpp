// SPDX-License-Identifier: Apache-2.0
// What the mirror reads from Redis, parsed from outside bytes: stream ids,
// stream entries and the objects hash's values (docs/design/relay.md holds
// their encodings). Every number is checked; nothing is trusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "publication.hpp"
#include "redis_link.hpp"

namespace zim_mirror {

using zim_relay::Bytes;
using zim_relay::Publication;
using zim_relay::Reply;

// A stream entry id, "MS-SEQ"; 0-0 names the stream's beginning.
struct StreamId {
  uint64_t ms = 0, seq = 0;
  bool operator<(const StreamId& o) const { return ms != o.ms ? ms < o.ms : seq < o.seq; }
  bool operator==(const StreamId& o) const { return ms == o.ms && seq == o.seq; }
  std::string text() const { return std::to_string(ms) + "-" + std::to_string(seq); }
};

bool read_stream_id(std::string_view text, StreamId& id);

// One change as the mirror applies it: a stream entry, or an object or key
// found in the hashes.
struct Change {
  Publication::Kind kind = Publication::object;
  uint64_t epoch = 0;
  uint64_t pool_id = 0;
  uint64_t version = 0;
  uint32_t table_id = 0;
  uint64_t key = 0;
  uint64_t fingerprint = 0;
  uint32_t npus = 0, npd_size = 0;
  Bytes image;
};

// A stream entry: [id, [field, value, ...]]; false with the reason.
bool read_entry(const Reply& entry, StreamId& id, Change& change, std::string& why);

// An objects hash's field (the pool id) and value (head, then the image).
bool read_object_value(uint32_t table_id, std::string_view field, std::string_view value,
                       Change& change, std::string& why);

}  // namespace zim_mirror
