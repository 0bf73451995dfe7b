// SPDX-License-Identifier: Apache-2.0
#include "relay_harness.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/shm_pool.h>

#include <chrono>
#include <map>
#include <thread>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "sim_test_util.hpp"
#include "snapshot_image.hpp"

namespace zim_relay_test {
namespace {

using zim_test::ReplyPtr;

uint64_t load_le(const std::string& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= uint64_t(uint8_t(bytes[at + i])) << (8 * i);
  return value;
}

std::string object_difference(const zim_test::RedisServer& redis, const std::string& keys,
                              const Tracked& t) {
  const std::string id = std::to_string(zim_shm_pool_id_of(t.obj));
  const ReplyPtr value =
      redis.command({"HGET", keys + "objects:" + std::to_string(t.type->table_id), id});
  if (!value) return "Redis is away";
  if (t.retired) return value->type == REDIS_REPLY_NIL ? "" : "retired object " + id + " is held";
  if (value->type != REDIS_REPLY_STRING || value->len < 24) return "no value of object " + id;
  const std::string v(value->str, value->len);
  if (load_le(v, 0, 8) != zim_shm_pool_version_of(t.obj)) {
    return "object " + id + " held at version " + std::to_string(load_le(v, 0, 8));
  }
  if (v.substr(24) != expected_image(t)) return "object " + id + ": the image differs";
  const ReplyPtr record =
      redis.command({"HGET", keys + "layouts", zim_codec::fingerprint_hex(load_le(v, 8, 8))});
  if (!record || record->type != REDIS_REPLY_STRING) return "no layout record of object " + id;
  const auto layout = zim_codec::read_layout_record(std::string(record->str, record->len));
  if (!layout || layout->table_id != t.type->table_id ||
      zim_codec::layout_fingerprint(*layout) != load_le(v, 8, 8)) {
    return "object " + id + ": its layout record is not its layout's";
  }
  return "";
}

// Versions rise along the stream, all of the epoch the key holds, and each
// live object's last entry, if it has one, is the hash's version: an epoch's
// fill goes into the hashes alone, so an object unchanged since has none.
std::string stream_difference(const zim_test::RedisServer& redis, const std::string& keys,
                              const std::vector<Tracked>& objects) {
  const ReplyPtr epoch = redis.command({"GET", keys + "epoch"});
  const ReplyPtr entries = redis.command({"XRANGE", keys + "changes", "-", "+"});
  if (!epoch || epoch->type != REDIS_REPLY_STRING || !entries) return "no epoch or stream";
  std::map<std::string, std::string> last;  // pool id to its last version
  const uint64_t held_epoch = std::stoull(epoch->str, nullptr, 16);
  uint64_t previous = 0;
  for (size_t i = 0; i < entries->elements; ++i) {
    const redisReply* fields = entries->element[i]->element[1];
    std::string head;
    for (size_t k = 0; k + 1 < fields->elements; k += 2) {
      if (std::string(fields->element[k]->str) == "head")
        head.assign(fields->element[k + 1]->str, fields->element[k + 1]->len);
    }
    if (head.size() != 40) return "stream entry " + std::to_string(i) + " has no head";
    const uint64_t version = load_le(head, 24, 8);
    if (load_le(head, 8, 8) != held_epoch || version <= previous)
      return "stream entry " + std::to_string(i) + " out of order";
    previous = version;
    last[std::to_string(load_le(head, 16, 8))] =
        head[0] == 1 ? "retired" : std::to_string(version);  // kind 1: a retirement
  }
  for (const Tracked& t : objects) {
    const std::string id = std::to_string(zim_shm_pool_id_of(t.obj));
    const auto at = last.find(id);
    if (!t.retired && at != last.end() &&
        at->second != std::to_string(zim_shm_pool_version_of(t.obj))) {
      return "the stream's last entry of object " + id + " is " + at->second;
    }
  }
  return "";
}

}  // namespace

std::string expected_image(const Tracked& t) { return snapshot_image(*t.type, t.obj); }

RelayProcess::RelayProcess(const std::string& pool, const std::string& socket,
                           const std::vector<std::string>& options) {
  std::vector<std::string> arguments{pool, "--redis", socket, "--json", "--retry-cap-ms", "200"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  start(ZIM_RELAY_TOOL, arguments);
}

RelayProcess::RelayProcess(const char* tool, const std::vector<std::string>& arguments) {
  start(tool, arguments);
}

void RelayProcess::start(const char* tool, const std::vector<std::string>& arguments) {
  int p[2];
  if (pipe(p) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that aborts leaves no tool behind
    dup2(p[1], STDOUT_FILENO);
    dup2(p[1], STDERR_FILENO);
    close(p[0]);
    close(p[1]);
    std::vector<const char*> argv{tool};
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    execv(tool, const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  close(p[1]);
  out_ = p[0];
}

RelayProcess::~RelayProcess() {
  if (pid_ > 0) stop(SIGKILL);
  if (out_ >= 0) close(out_);
}

bool RelayProcess::printed(const std::string& what) {
  while (text_.find(what) == std::string::npos) {
    const std::string more = zim_sim_test::read_all(out_, what.c_str());
    if (more.empty()) return false;
    text_ += more;
  }
  return true;
}

int RelayProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  text_ += zim_sim_test::read_all(out_);
  const int status = zim_sim_test::wait_exit(pid_);
  pid_ = -1;
  return status;
}

const std::string& RelayProcess::text() {
  char buf[4096];
  for (pollfd p{out_, POLLIN, 0}; out_ >= 0 && poll(&p, 1, 0) == 1;) {
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) break;
    text_.append(buf, size_t(n));
  }
  return text_;
}

void RelayProcess::pause(bool paused) const { kill(pid_, paused ? SIGSTOP : SIGCONT); }

SourcePool::SourcePool(uint64_t feed_capacity)
    : name_(zim_sim_test::unique_pool_name()), feed_capacity_(feed_capacity) {
  create();
}

void SourcePool::create() {
  const zim_shm_pool_options_t options{1, 0, feed_capacity_, 64};
  EXPECT_EQ(zim_shm_pool_create_with(name_.c_str(), 16u << 20, &options), 0);
}

void SourcePool::make_again() {
  EXPECT_EQ(zim_shm_pool_destroy(), 0);
  objects_.clear();
  create();
}

SourcePool::~SourcePool() { zim_shm_pool_destroy(); }

std::vector<const cat::TableType*> SourcePool::types() {
  std::vector<const cat::TableType*> chosen;
  for (const auto cls :
       {cat::TypeClass::kCounted, cat::TypeClass::kPerNpu, cat::TypeClass::kFixed}) {
    for (size_t i = 0; i < cat::type_count; ++i) {
      if (cat::types[i].type_class == cls) {
        chosen.push_back(&cat::types[i]);
        break;
      }
    }
  }
  return chosen;
}

void SourcePool::fill(const cat::TableType& type, void* obj, unsigned seed) {
  for (uint32_t f = 0; f < type.field_count; ++f) {
    const cat::FieldItem& item = type.fields[f];
    std::vector<unsigned char> value(item.width);
    for (uint32_t i = 0; i < item.access.length(obj); ++i) {
      for (size_t b = 0; b < value.size(); ++b)
        value[b] = static_cast<unsigned char>(seed + f + i + b);
      item.access.set(obj, i, value.data());
    }
  }
}

Tracked& SourcePool::add(const cat::TableType* type, uint32_t count, unsigned seed) {
  void* obj = type->ops.srv_ctor_with_shm(count);
  EXPECT_NE(obj, nullptr);
  fill(*type, obj, seed);
  EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
  objects_.push_back({type, obj});
  return objects_.back();
}

void SourcePool::change(Tracked& t, unsigned seed) {
  EXPECT_EQ(zim_shm_pool_write_begin(t.obj), 0);
  fill(*t.type, t.obj, seed);
  EXPECT_EQ(zim_shm_pool_write_end(t.obj), 0);
}

void SourcePool::adopt_again(const std::vector<uint64_t>& offsets) {
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  for (size_t i = 0; i < offsets.size(); ++i) objects_[i].obj = zim_shm_pool_at(offsets[i]);
}

std::string mirror_difference(const zim_test::RedisServer& redis, const std::string& pool,
                              const std::vector<Tracked>& objects) {
  const std::string keys = "zim:{" + pool + "}:";
  for (const Tracked& t : objects) {
    if (std::string d = object_difference(redis, keys, t); !d.empty()) return d;
  }
  return stream_difference(redis, keys, objects);
}

std::string wait_for_mirror(const zim_test::RedisServer& redis, const std::string& pool,
                            const std::vector<Tracked>& objects) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string difference;
  while (!(difference = mirror_difference(redis, pool, objects)).empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return difference;
}

}  // namespace zim_relay_test
