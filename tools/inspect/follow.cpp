// SPDX-License-Identifier: Apache-2.0
// follow: maps a versioned pool, reads its feed from a cursor of its own,
// sleeping on the feed's futex in between, and resyncs by versions when it is
// lapped or told of a lost change.
#include "follow.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <vector>

#include "pool_walk.hpp"
#include "render.hpp"

namespace zim_inspect {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

constexpr uint64_t kTickUs = 100'000;  // how often the pool's name is looked at
constexpr int kCopyTries = 64;         // copies of an object a writer keeps changing

void on_stop(int signal) { g_stop_signal = signal; }

// SIGINT and SIGTERM end the wait on the feed (no SA_RESTART) and the loop.
void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The segment a name leads to, so that a pool destroyed (and perhaps made
// again under its name) is told from the one followed.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Identity& o) const { return dev == o.dev && ino == o.ino; }
  bool operator!=(const Identity& o) const { return !(*this == o); }
};

std::optional<Identity> identity_of(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return std::nullopt;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0;
  close(fd);
  if (!ok) return std::nullopt;
  return Identity{st.st_dev, st.st_ino};
}

class Follower {
 public:
  Follower(const std::string& name, const PoolContext& context, const FollowOptions& options,
           std::ostream& out)
      : name_(name), types_{&context, {}}, options_(options), out_(out) {}

  // The loop; the reason it ended.
  std::string run() {
    mark_ = cursor_.next - 1;
    print_event(out_, {FollowEvent::start, cursor_.next, 0, 0, name_}, options_.json);
    for (;;) {
      if (g_stop_signal != 0)
        return g_stop_signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
      zim_shm_pool_change_t batch[64];
      uint64_t lapped = 0;
      const int n = zim_shm_pool_changes(&cursor_, batch, 64, &lapped);
      if (n < 0) return std::string("the pool's feed cannot be read: ") + std::strerror(errno);
      if (lapped != 0) {
        print_event(out_, {FollowEvent::lapped, lapped, mark_, 0, ""}, options_.json);
        resync();
        continue;
      }
      for (int i = 0; i < n; ++i) {
        const zim_shm_pool_change_t& c = batch[i];
        mark_ = c.sequence;
        if (c.kind == ZIM_SHM_POOL_CHANGE_LOST) {
          print_event(out_, {FollowEvent::lost, c.sequence, c.sequence - 1, 0, ""}, options_.json);
          mark_ = c.sequence - 1;
          resync();  // the cursor moves past the rest of the batch
          break;
        }
        show_change(c);
        if (c.kind == ZIM_SHM_POOL_CHANGE_HANDED_OVER) return "the pool was handed over";
      }
      if (n == 0 && zim_shm_pool_wait(&cursor_, kTickUs) == 0 && identity_of(name_) != identity_) {
        return "the pool was destroyed";
      }
    }
  }

  bool start(std::string& error) {
    identity_ = identity_of(name_);
    if (!identity_ || zim_shm_pool_follow(&cursor_) != 0 ||
        (options_.decode && !read_records(name_, types_, error))) {
      if (error.empty()) error = std::strerror(errno);
      return false;
    }
    return true;
  }

 private:
  // The decoded object at offset (copied whole first), as JSON or as text.
  void decoded(uint64_t offset, std::optional<Json>* json, std::string* text) {
    uint32_t table_id = 0;
    uint64_t size = 0;
    const void* obj = options_.decode ? zim_shm_pool_block_at(offset, &table_id, &size) : nullptr;
    if (!options_.decode || table_id == ZIM_SHM_POOL_UNTYPED) return;  // no table object
    const TypeLayout* type = obj != nullptr ? types_.type(table_id) : nullptr;
    const uint64_t room = zim_shm_pool_size() > offset ? zim_shm_pool_size() - offset : 0;
    std::string why = obj == nullptr    ? "the object is gone"
                      : type == nullptr ? "no layout of table id " + std::to_string(table_id)
                      : size > room     ? "its block runs past the pool"
                                        : "";
    std::vector<unsigned char> copy(why.empty() ? size : 0);
    if (why.empty() && !copy_whole(obj, copy.data(), size)) {
      why = "no whole copy: writers kept changing it";
    }
    if (!why.empty()) {
      *json = Json{{"not_decoded", why}};
      *text = "not decoded: " + why + "\n";
      return;
    }
    const SpanSource bytes(copy.data(), size);
    std::ostringstream decoded_out;
    const auto writer = object_writer(decoded_out, options_.json);
    decode(*type, bytes, types_.sizing(table_id), *writer);
    if (options_.json)
      *json = Json::parse(decoded_out.str(), nullptr, false);
    else
      *text = decoded_out.str();
  }

  static bool copy_whole(const void* obj, unsigned char* to, uint64_t size) {
    for (int i = 0; i < kCopyTries; ++i) {
      uint64_t version = 0;
      if (zim_shm_pool_read_begin(obj, &version) != 0) {
        if (errno != EBUSY) return false;
        continue;
      }
      std::memcpy(to, obj, size);
      if (zim_shm_pool_read_end(obj, version) == 0) return true;
    }
    return false;
  }

  void show_change(const zim_shm_pool_change_t& c) {
    std::optional<Json> json;
    std::string text;
    if (c.kind == ZIM_SHM_POOL_CHANGE_CREATED || c.kind == ZIM_SHM_POOL_CHANGE_CHANGED) {
      decoded(c.offset, &json, &text);
    }
    print_change(out_, c, options_.json, json, text);
  }

  // Every object changed or retired after the mark, until no write was left
  // under way, then the feed from where the walk's view ends.
  void resync() {
    if (options_.decode) {
      std::string ignored;
      types_.records = {};
      read_records(name_, types_, ignored);  // layouts may have changed meanwhile
    }
    uint64_t objects = 0;
    const auto visit = [](const zim_shm_pool_object_version_t* o, void* self) {
      auto& f = *static_cast<Follower*>(self);
      std::optional<Json> json;
      std::string text;
      if (o->kind != ZIM_SHM_POOL_CHANGE_RETIRED && o->state == ZIM_SHM_POOL_OBJECT_WHOLE) {
        f.decoded(o->offset, &json, &text);
      }
      print_resync_object(f.out_, *o, f.options_.json, json, text);
      ++*f.objects_;
      return g_stop_signal != 0 ? 1 : 0;
    };
    objects_ = &objects;
    while (zim_shm_pool_changed_since(mark_, &cursor_, visit, this) > 0 && g_stop_signal == 0) {
      usleep(10'000);  // a write past the bound: walk again once it may have ended
    }
    mark_ = cursor_.next - 1;
    print_event(out_, {FollowEvent::resynced, cursor_.next, 0, objects, ""}, options_.json);
  }

  std::string name_;
  PoolTypes types_;
  FollowOptions options_;
  std::ostream& out_;
  std::optional<Identity> identity_;
  zim_shm_pool_cursor_t cursor_{};
  uint64_t mark_ = 0;
  uint64_t* objects_ = nullptr;
};

}  // namespace

int follow_pool(const std::string& name, const PoolContext& context, const FollowOptions& options,
                std::ostream& out, std::string& error) {
  catch_stop_signals();
  // As a follower: the owner may retire or migrate objects while it follows.
  if (zim_shm_pool_attach_follower(name.c_str()) != 0) {
    error = errno == ENOTSUP ? "it is not a versioned pool: it has no feed of changes"
                             : std::string("cannot map it: ") + std::strerror(errno);
    return -1;
  }
  std::string reason;
  if (zim_shm_pool_is_versioned() == 0) {
    error = "it is not a versioned pool: it has no feed of changes";
  } else {
    Follower follower(name, context, options, out);
    if (follower.start(error)) reason = follower.run();
  }
  zim_shm_pool_detach();
  if (reason.empty()) return -1;
  print_event(out, {FollowEvent::end, 0, 0, 0, reason}, options.json);
  return 0;
}

}  // namespace zim_inspect
