// SPDX-License-Identifier: Apache-2.0
// What the mirror records in its own pool, in one untyped block that the
// pool's root slot names: the source pool's identity, the epoch and stream
// position it has applied, and per source pool id the source's version it
// holds (a retirement's too).
//
// Crash safety: every store is ordered so that the record is whole after
// any instruction. A position goes into the slot not in use, then one
// 8-byte store switches to it; a new entry is written before its pool id
// claims it; a version is one 8-byte store. Each object is changed before
// its entry says so, and the position moves only after its entries: a
// mirror killed anywhere applies again what followed its position, and an
// entry applied again is dropped or rewrites the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zim_mirror {

inline constexpr char kStateMagic[8] = {'z', 'i', 'm', 'm', 'i', 'r', 'r', '1'};

struct StatePosition {
  uint64_t epoch;  // 0: nothing applied yet
  uint64_t ms, seq;
};

struct StateHeader {
  char magic[8];
  uint64_t capacity;  // entries after the header
  uint64_t current;   // 0 or 1: the position in use
  StatePosition positions[2];
  uint64_t applied;  // changes applied, over the mirror's life
  uint64_t loads;    // loads of the hashes (the first one included)
  uint64_t source;   // the identity of the pool whose versions the entries hold; 0: not told
  // Entries a record made with twice the room it holds may fill, and the
  // entries in use: lookups in an open-addressed table stay short only
  // while half of it is free. 0 in records of earlier builds, which fill
  // every entry.
  uint64_t limit, used;
  uint64_t reserved[1];
};

struct StateEntry {
  uint64_t pool_id;  // 0: a free entry
  uint64_t version;  // the source's
  uint32_t table_id;
  uint32_t retired;  // 1: the version is the retirement's
};

// The record in the mapped pool, written by the mirror alone.
class MirrorState {
 public:
  // Finds the record the root slot names, or makes one that holds
  // `capacity` pool ids (in twice as many entries); false with the reason.
  bool open(uint64_t capacity, std::string& why);
  // A write bracket around a batch of changes: local readers see the record whole.
  void begin();
  void end();

  StatePosition position() const;
  void set_position(const StatePosition& p);
  uint64_t source() const;
  void set_source(uint64_t source);
  // Every entry cleared: versions of another source tell nothing. A mirror
  // killed while clearing clears again, its source not yet set.
  void forget_versions();
  // The version the source's pool id has here; 0 for none.
  uint64_t version_of(uint64_t pool_id) const;
  // False when the record has no free entry left.
  bool record(uint64_t pool_id, uint32_t table_id, uint64_t version, bool retired);
  void count_applied();
  void count_load();

 private:
  StateEntry* slot_of(uint64_t pool_id) const;
  StateHeader* header_ = nullptr;
  StateEntry* entries_ = nullptr;
};

// The record of the pool `name` as read by another process: each entry in
// use, as one whole version of the block. False with the reason.
struct StateCopy {
  StateHeader header;
  std::vector<StateEntry> entries;
};
bool read_state(const std::string& name, StateCopy& copy, std::string& why);

}  // namespace zim_mirror
