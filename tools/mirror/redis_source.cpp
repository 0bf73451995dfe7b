// SPDX-License-Identifier: Apache-2.0
#include "redis_source.hpp"

#include <zim/sim/pool_records.h>

#include "codec/printable.hpp"

namespace zim_mirror {
namespace {

// An entry's id alone, from [id, fields].
bool entry_id(const Reply& entry, StreamId& id) {
  return entry.kind == Reply::kArray && entry.items.size() == 2 &&
         entry.items[0].kind == Reply::kString && read_stream_id(entry.items[0].text, id);
}

// One entry id or none, from the reply of XRANGE/XREVRANGE ... COUNT 1.
bool edge_id(const Reply& reply, StreamId& id) {
  id = StreamId{};
  if (reply.kind != Reply::kArray || reply.items.size() > 1) return false;
  return reply.items.empty() || entry_id(reply.items[0], id);
}

}  // namespace

Outcome RedisSource::malformed(const std::string& what, std::string& message) const {
  message = "Redis answered " + what + " of " + zim_codec::quote(keys_.prefix) +
            " with something else than asked for";
  return Outcome::refused;
}

Outcome RedisSource::head(SourceHead& head, std::string& message) {
  settle();
  std::vector<Reply> r;
  const Outcome o = link_.run({{"MULTI"},
                               {"GET", keys_.epoch()},
                               {"GET", keys_.filled()},
                               {"GET", keys_.source()},
                               {"XREVRANGE", keys_.changes(), "+", "-", "COUNT", "1"},
                               {"EXEC"}},
                              r, message);
  if (o != Outcome::done) return o;
  const Reply& results = r.back();
  if (results.kind != Reply::kArray || results.items.size() != 4) return malformed("EXEC", message);
  uint64_t words[3] = {0, 0, 0};  // absent keys read as 0
  for (int i = 0; i < 3; ++i) {
    const Reply& e = results.items[i];
    if (e.kind != Reply::kNil &&
        (e.kind != Reply::kString || !zim_relay::read_hex64(e.text, words[i])))
      return malformed(i == 2 ? "the source's identity" : "the epoch", message);
  }
  head.epoch = words[0];
  head.filled = head.epoch != 0 && words[1] == head.epoch;
  head.source = words[2];
  if (!edge_id(results.items[3], head.last)) return malformed("the stream's last entry", message);
  return Outcome::done;
}

Outcome RedisSource::first(StreamId& first, std::string& message) {
  settle();
  std::vector<Reply> r;
  const Outcome o = link_.run({{"XRANGE", keys_.changes(), "-", "+", "COUNT", "1"}}, r, message);
  if (o != Outcome::done) return o;
  return edge_id(r[0], first) ? Outcome::done : malformed("the stream's first entry", message);
}

Outcome RedisSource::read(const StreamId& after, uint64_t block_ms,
                          const std::vector<Reply>*& entries, StreamId& first,
                          std::string& message) {
  settle();
  static const std::vector<Reply> kNone;
  entries = &kNone;
  const std::string after_text = after.text();
  link_.append({"XREAD", "COUNT", zim_relay::DecimalText(kEntriesAtOnce).view(), "BLOCK",
                zim_relay::DecimalText(block_ms).view(), "STREAMS", changes_key_, after_text});
  link_.append({"XRANGE", changes_key_, "-", "+", "COUNT", "1"});
  const Outcome o = link_.collect(read_replies_, message);
  if (o != Outcome::done) return o;
  const std::vector<Reply>& r = read_replies_;
  if (!edge_id(r[1], first)) return malformed("the stream's first entry", message);
  if (r[0].kind == Reply::kNil) return Outcome::done;  // none within block_ms
  if (r[0].kind != Reply::kArray || r[0].items.size() != 1) return malformed("XREAD", message);
  const Reply& stream = r[0].items[0];
  if (stream.kind != Reply::kArray || stream.items.size() != 2 ||
      stream.items[1].kind != Reply::kArray || stream.items[1].items.size() > kEntriesAtOnce) {
    return malformed("XREAD", message);
  }
  entries = &stream.items[1].items;
  return Outcome::done;
}

Outcome RedisSource::trimmed(bool& trimmed, std::string& message) {
  settle();
  std::vector<Reply> r;
  const Outcome o = link_.run({{"MULTI"}, {"XINFO", "STREAM", changes_key_}, {"EXEC"}}, r, message);
  if (o != Outcome::done) return o;
  trimmed = true;  // unless the stream tells otherwise
  const Reply& results = r.back();
  if (results.kind != Reply::kArray || results.items.size() != 1) return malformed("EXEC", message);
  const Reply& info = results.items[0];
  if (info.kind == Reply::kError) return Outcome::done;  // the stream went: a new epoch
  if (info.kind != Reply::kArray || info.items.size() % 2 != 0) return malformed("XINFO", message);
  const Reply* added = nullptr;
  const Reply* length = nullptr;
  for (size_t i = 0; i + 1 < info.items.size(); i += 2) {
    if (info.items[i].kind != Reply::kString) continue;
    if (info.items[i].text == "entries-added") added = &info.items[i + 1];
    if (info.items[i].text == "length") length = &info.items[i + 1];
  }
  // A Redis that does not count the entries added cannot tell: load.
  if (added != nullptr && length != nullptr && added->kind == Reply::kInteger &&
      length->kind == Reply::kInteger) {
    trimmed = added->integer != length->integer;
  }
  return Outcome::done;
}

Outcome RedisSource::tables(std::vector<uint32_t>& ids, std::string& message) {
  settle();
  std::vector<Reply> r;
  const Outcome o = link_.run({{"SMEMBERS", keys_.tables()}}, r, message);
  if (o != Outcome::done) return o;
  if (r[0].kind != Reply::kArray || r[0].items.size() > ZIM_SHM_POOL_MAX_TABLE_ID + 1)
    return malformed("the set of tables", message);
  ids.clear();
  for (const Reply& member : r[0].items) {
    uint64_t id = 0;
    if (member.kind != Reply::kString || !zim_relay::read_decimal(member.text, id) ||
        id > ZIM_SHM_POOL_MAX_TABLE_ID) {
      return malformed("the set of tables", message);
    }
    ids.push_back(static_cast<uint32_t>(id));
  }
  return Outcome::done;
}

void RedisSource::settle() {
  if (!ahead_.sent || ahead_.read) return;
  if (ahead_.connection != link_.connection()) {
    ahead_ = Ahead{};  // asked on a connection that is gone
    return;
  }
  ahead_.outcome = link_.collect(scan_replies_[scan_at_ ^ 1], ahead_.message);
  ahead_.read = true;
}

Outcome RedisSource::scan(const std::string& hash, std::string& cursor, HashItems& items,
                          std::string& message) {
  std::vector<Reply>& r = scan_replies_[scan_at_ ^ 1];
  Outcome o;
  if (ahead_.sent && ahead_.hash == hash && ahead_.cursor == cursor &&
      ahead_.connection == link_.connection()) {
    settle();
    o = ahead_.outcome;
    message = ahead_.message;
  } else {
    settle();  // a step nobody asks for any more: its reply is dropped
    link_.append({"HSCAN", hash, cursor, "COUNT", zim_relay::DecimalText(kScanStep).view()});
    o = link_.collect(r, message);
  }
  ahead_ = Ahead{};
  if (o != Outcome::done) return o;
  uint64_t next = 0;
  if (r[0].kind != Reply::kArray || r[0].items.size() != 2 ||
      r[0].items[0].kind != Reply::kString || !zim_relay::read_decimal(r[0].items[0].text, next) ||
      r[0].items[1].kind != Reply::kArray || r[0].items[1].items.size() % 2 != 0) {
    return malformed("HSCAN", message);
  }
  cursor = r[0].items[0].text;
  items.clear();
  const std::vector<Reply>& flat = r[0].items[1].items;
  for (size_t i = 0; i + 1 < flat.size(); i += 2) {
    if (flat[i].kind != Reply::kString || flat[i + 1].kind != Reply::kString)
      return malformed("HSCAN", message);
    items.emplace_back(flat[i].text, flat[i + 1].text);
  }
  scan_at_ ^= 1;
  if (next != 0) {
    link_.append({"HSCAN", hash, cursor, "COUNT", zim_relay::DecimalText(kScanStep).view()});
    link_.send();
    ahead_.hash = hash;
    ahead_.cursor = cursor;
    ahead_.connection = link_.connection();
    ahead_.sent = true;
  }
  return Outcome::done;
}

Outcome RedisSource::layout_record(uint64_t fingerprint, std::optional<std::string>& text,
                                   std::string& message) {
  settle();
  std::vector<Reply> r;
  const Outcome o =
      link_.run({{"HGET", keys_.layouts(), zim_relay::hex64(fingerprint)}}, r, message);
  if (o != Outcome::done) return o;
  text.reset();
  if (r[0].kind == Reply::kString) text = r[0].text;
  return r[0].kind == Reply::kString || r[0].kind == Reply::kNil
             ? Outcome::done
             : malformed("a layout record", message);
}

}  // namespace zim_mirror
