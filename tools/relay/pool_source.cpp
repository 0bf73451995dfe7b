// SPDX-License-Identifier: Apache-2.0
// Copies of objects between read brackets, turned into images with the
// layout the pool records for their table id.
#include "pool_source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/platform.h>

#include <cerrno>
#include <cstring>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"

namespace zim_relay {
namespace {

constexpr int kCopyTries = 64;  // copies of an object a writer keeps changing

std::optional<std::pair<dev_t, ino_t>> identity_of(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return std::nullopt;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0;
  ::close(fd);
  if (!ok) return std::nullopt;
  return std::make_pair(st.st_dev, st.st_ino);
}

}  // namespace

PoolSource::PoolSource(std::string name) : name_(std::move(name)) {
  context_.types = &no_catalogue_;
  // A pool without a config record was made for the platform it runs on.
  context_.sizing = [](uint32_t table_id) {
    return zim_objects::Sizing{hulcon_config_get_max_num_npus(), qor_npd_get_table_size(table_id),
                               0};
  };
  types_.context = &context_;
}

PoolSource::~PoolSource() { close(); }

bool PoolSource::open(std::string& error) {
  identity_ = identity_of(name_);
  // As a follower: the owner may retire or migrate objects while the relay
  // follows, and learns of them from the feed.
  if (!identity_ || zim_shm_pool_attach_follower(name_.c_str()) != 0) {
    error = errno == ENOTSUP ? "it is not a versioned pool: it has no feed of changes"
                             : std::string("cannot map it: ") + std::strerror(errno);
    return false;
  }
  mapped_ = true;
  if (zim_shm_pool_is_versioned() == 0) {
    error = "it is not a versioned pool: it has no feed of changes";
    return false;
  }
  return reload_records(error);
}

void PoolSource::close() {
  if (mapped_) zim_shm_pool_detach();
  mapped_ = false;
}

bool PoolSource::reload_records(std::string& error) {
  types_.records = {};
  described_.clear();
  unrecorded_.clear();
  if (!zim_inspect::read_records(name_, types_, error)) {
    error = "its records cannot be read: " + error;
    return false;
  }
  return true;
}

bool PoolSource::destroyed() const { return identity_of(name_) != identity_; }

const zim_codec::TypeLayout* PoolSource::layout_of(uint32_t table_id, uint64_t offset) {
  if (const auto* t = types_.records.layout(table_id, offset, false)) return t;
  // The first object of a type brings its record: read them again, once per
  // table id until they change, so that objects of a program that records
  // no layouts cost no walk each.
  if (!unrecorded_.insert(table_id).second) return nullptr;
  std::string ignored;
  const std::set<uint32_t> unrecorded = std::move(unrecorded_);
  reload_records(ignored);
  unrecorded_ = unrecorded;
  return types_.records.layout(table_id, offset, false);
}

bool PoolSource::copy_whole(const void* obj, Bytes& to, uint64_t& version, ObjectRead& result) {
  result = ObjectRead::gone;
  for (int i = 0; i < kCopyTries; ++i) {
    uint64_t at = 0;
    if (zim_shm_pool_read_begin(obj, &at) != 0) {
      if (errno != EBUSY) return false;  // torn, or no longer an object
      continue;
    }
    if (version != 0 && at != version) {
      if (at > version) result = ObjectRead::newer;
      return false;
    }
    std::memcpy(to.data(), obj, to.size());
    if (zim_shm_pool_read_end(obj, at) == 0) {
      version = at;
      result = ObjectRead::copied;
      return true;
    }
  }
  return false;
}

ObjectRead PoolSource::read(uint64_t offset, uint64_t version, Publication& out, std::string& why) {
  uint32_t table_id = 0;
  uint64_t size = 0;
  const void* obj = zim_shm_pool_block_at(offset, &table_id, &size);
  const uint64_t room = zim_shm_pool_size() > offset ? zim_shm_pool_size() - offset : 0;
  if (obj == nullptr || table_id == ZIM_SHM_POOL_UNTYPED) return ObjectRead::gone;
  if (size > room) {
    why = "its block runs past the pool";
    return ObjectRead::unusable;
  }
  const zim_codec::TypeLayout* type = layout_of(table_id, offset);
  if (type == nullptr) {
    why = "the pool records no layout of table id " + std::to_string(table_id);
    return ObjectRead::unusable;
  }
  Bytes bytes(size);
  ObjectRead result;
  uint64_t copied = version;
  if (!copy_whole(obj, bytes, copied, result)) return result;
  out = Publication{};
  out.pool_id = zim_shm_pool_id_of(obj);  // drawn at allocation, never changed
  out.version = copied;
  ImageFrame frame;
  try {
    const zim_objects::Sizing sizing = types_.sizing(table_id);
    if (!frame_object(*type, sizing, bytes, frame, why) || !to_image(*type, frame, bytes, why)) {
      return ObjectRead::unusable;
    }
  } catch (const std::exception& e) {
    why = e.what();
    return ObjectRead::unusable;
  }
  const auto known = described_.find(type);
  const auto& [fingerprint, record] =
      known != described_.end() ? known->second
                                : described_[type] = {zim_codec::layout_fingerprint(*type),
                                                      zim_codec::layout_record(*type)};
  out.table_id = table_id;
  out.fingerprint = fingerprint;
  out.layout_record = record;
  out.npus = frame.sizing.npus;
  out.npd_size = frame.sizing.npd_size;
  out.image = std::move(bytes);
  return ObjectRead::copied;
}

}  // namespace zim_relay
