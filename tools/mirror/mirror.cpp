// SPDX-License-Identifier: Apache-2.0
// The mirror's loop: connecting, finding out whether its position still
// holds, and following the stream.
#include "mirror.hpp"

#include <algorithm>
#include <csignal>

#include "stop_signal.hpp"

namespace zim_mirror {
namespace {

constexpr uint64_t kBlockMs = 500;       // how long one XREAD waits: the epoch is read again after
constexpr unsigned kClientsWaitMs = 50;  // the first wait for local clients to detach
constexpr unsigned kClientsWaitMaxMs = 2000;

using zim_relay::connect_with_backoff;
using zim_relay::sleep_unless_stopped;
using zim_relay::stop_signal;

}  // namespace

Mirror::Mirror(const MirrorOptions& options, std::ostream& out)
    : options_(options),
      status_(out, options.redis.json, "mirror"),
      link_(kMirrorBounds),
      source_(link_, options.source) {}

// Between tries of converting an adopted pool that local clients map: told
// once, then tried again at growing intervals, since each try names the
// clients on stderr.
bool Mirror::wait_for_clients(unsigned attempt) {
  if (attempt == 0) {
    status_.line("waiting", {{"local_pool", options_.local.name},
                             {"why",
                              "local clients map the pool, whose objects need converting: "
                              "they are converted once the clients detach"}});
  }
  sleep_unless_stopped(std::min(kClientsWaitMs << std::min(attempt, 6u), kClientsWaitMaxMs));
  return stop_signal() == 0;
}

int Mirror::run() {
  std::string why;
  Step step;
  if (!pool_.open(
          options_.local, [this](unsigned attempt) { return wait_for_clients(attempt); }, why)) {
    const bool held = why.find("another") != std::string::npos;
    if (const int signal = stop_signal()) {
      step = end(kEnded, signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM");
    } else {
      step =
          end(held ? kRefused : kPoolFailed, "the pool " + zim_codec::quote(options_.local.name) +
                                                 " cannot be mirrored into: " + why);
    }
  } else {
    const StatePosition p = pool_.state().position();
    status_.line("start", {{"pool", options_.source},
                           {"local_pool", options_.local.name},
                           {"redis", options_.redis.address.text},
                           {"epoch", zim_relay::hex64(p.epoch)},
                           {"position", StreamId{p.ms, p.seq}.text()}});
    step = connect_with_backoff(link_, options_.redis, status_);
  }
  while (step.kind != Step::end) step = step.kind == Step::recover ? recover() : follow();
  pool_.close();
  status_.line("end", {{"why", step.why}, {"applied", applied_}, {"dropped", dropped_}});
  return step.status;
}

Mirror::Step Mirror::redis_failed(Outcome o, const std::string& message) {
  if (o == Outcome::refused) return end(kRefused, message);
  status_.line("away", {{"message", message}});
  return recovering();
}

Mirror::Step Mirror::recover() {
  synced_ = false;
  if (Step s = connect_with_backoff(link_, options_.redis, status_); s.kind != Step::go) return s;
  status_.line("back", {{"redis", options_.redis.address.text}});
  return go();
}

// Whether what the pool records still follows on in Redis: the epoch, and
// the stream from the position on.
Mirror::Step Mirror::catch_up() {
  std::string message;
  SourceHead head;
  if (Outcome o = source_.head(head, message); o != Outcome::done) return redis_failed(o, message);
  const uint64_t epoch = head.epoch;
  if (epoch == 0) {  // no relay has published yet
    sleep_unless_stopped(static_cast<unsigned>(kBlockMs));
    return go();
  }
  const StatePosition p = pool_.state().position();
  if (p.epoch != epoch || head.source != pool_.state().source()) return load("the epoch changed");
  epoch_ = epoch;
  position_ = {p.ms, p.seq};
  StreamId first;
  if (Outcome o = source_.first(first, message); o != Outcome::done)
    return redis_failed(o, message);
  bool trimmed = false;
  if (Step s = trimmed_past(first, trimmed); s.kind != Step::go) return s;
  if (trimmed) return load("the stream was trimmed past the position");
  synced_ = true;
  if (!resumed_) {
    status_.line("resumed", {{"epoch", zim_relay::hex64(epoch)}, {"position", position_.text()}});
  }
  resumed_ = true;
  return go();
}

// Whether entries after the position were trimmed away: the stream begins
// after it. A position of 0-0 (a load that found the stream empty: the fill
// of an epoch makes no entries) comes before every entry of the epoch's
// stream, so there the stream's count of the entries added tells.
Mirror::Step Mirror::trimmed_past(const StreamId& first, bool& trimmed) {
  trimmed = position_ < first && !(first == StreamId{});
  if (!trimmed || !(position_ == StreamId{})) return go();
  std::string message;
  if (Outcome o = source_.trimmed(trimmed, message); o != Outcome::done)
    return redis_failed(o, message);
  return go();
}

Mirror::Step Mirror::follow() {
  for (;;) {
    if (const int signal = stop_signal()) {
      return end(kEnded, signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM");
    }
    if (!synced_) {
      if (Step s = catch_up(); s.kind != Step::go) return s;
      continue;
    }
    std::string message;
    const std::vector<Reply>* entries = nullptr;
    // Entries trimmed before they were read leave a gap: the hashes hold
    // what they brought.
    StreamId first;
    if (Outcome o = source_.read(position_, kBlockMs, entries, first, message); o != Outcome::done)
      return redis_failed(o, message);
    if (entries->empty()) {
      synced_ = false;  // idle: the epoch is read again
      continue;
    }
    bool trimmed = false;
    if (Step s = trimmed_past(first, trimmed); s.kind != Step::go) return s;
    if (trimmed) {
      if (Step s = load("the stream was trimmed past the position"); s.kind != Step::go) return s;
      continue;
    }
    if (Step s = apply_entries(*entries); s.kind != Step::go) return s;
  }
}

Mirror::Step Mirror::apply_entries(const std::vector<Reply>& entries) {
  MirrorState& state = pool_.state();
  state.begin();
  Step step = go();
  uint64_t done = 0;
  Change c;  // one for all, its image's buffer kept
  std::string why;
  for (const Reply& entry : entries) {
    StreamId id;
    if (!read_entry(entry, id, c, why)) {
      status_.line("skipped", {{"why", why}});
    } else if (c.epoch != epoch_) {
      synced_ = false;  // another relay run: its entries are read after a load
      break;
    } else if (step = apply(c); step.kind != Step::go) {
      break;
    }
    if (!(position_ < id)) continue;  // an entry without an id moves nothing
    position_ = id;
    state.set_position({epoch_, id.ms, id.seq});
    ++done;
  }
  state.end();
  if (done > 0) {
    status_.line("applied", {{"entries", done},
                             {"position", position_.text()},
                             {"applied", applied_},
                             {"dropped", dropped_}});
  }
  return step;
}

int run_mirror(const MirrorOptions& options, std::ostream& out) {
  zim_relay::catch_stop_signals();
  Mirror mirror(options, out);
  return mirror.run();
}

}  // namespace zim_mirror
