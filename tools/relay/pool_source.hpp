// SPDX-License-Identifier: Apache-2.0
// The relay's side of the pool: mapping it by name, its layout records, and
// an object copied whole into a publication.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pool_walk.hpp"
#include "publication.hpp"

namespace zim_relay {

// What reading an object for a publication came to.
enum class ObjectRead {
  copied,    // the publication holds it
  newer,     // its version is past the one asked for: a later change tells it
  gone,      // no live object there, or a writer left it torn: a later change tells it
  unusable,  // its bytes or layout do not make an image (the reason given)
};

class PoolSource {
 public:
  explicit PoolSource(std::string name);
  ~PoolSource();
  PoolSource(const PoolSource&) = delete;
  PoolSource& operator=(const PoolSource&) = delete;

  // Maps the pool and reads its records; false with the reason.
  bool open(std::string& error);
  void close();
  // The records again: a table id of a new type, a migration, a new layout.
  bool reload_records(std::string& error);
  // The name leads to another segment than the one mapped, or to none.
  bool destroyed() const;

  // The live object whose block starts at `offset`, copied whole at its
  // current version, which must be `version` unless that is 0.
  ObjectRead read(uint64_t offset, uint64_t version, Publication& out, std::string& why);

  const std::string& name() const { return name_; }

 private:
  bool copy_whole(const void* obj, Bytes& to, uint64_t& version, ObjectRead& result);
  const zim_codec::TypeLayout* layout_of(uint32_t table_id, uint64_t offset);

  std::string name_;
  std::vector<zim_codec::TypeLayout> no_catalogue_;  // layouts come from the pool's records only
  zim_inspect::PoolContext context_;
  zim_inspect::PoolTypes types_;
  std::optional<std::pair<dev_t, ino_t>> identity_;
  bool mapped_ = false;
  // Each layout's fingerprint and record, until the records are read again.
  std::map<const zim_codec::TypeLayout*, std::pair<uint64_t, std::string>> described_;
  // Table ids without a record when the records were last read.
  std::set<uint32_t> unrecorded_;
};

}  // namespace zim_relay
