// SPDX-License-Identifier: Apache-2.0
#include "mirror_state.hpp"

#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstring>

namespace zim_mirror {
namespace {

constexpr uint64_t kMaxHeld = uint64_t{1} << 26;
constexpr uint64_t kMaxCapacity = 2 * kMaxHeld;
constexpr int kReadTries = 64;

// Words of the shared record, each stored and loaded whole and in order.
template <typename T>
void store(T& word, T value) {
  __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}

template <typename T>
T load(const T& word) {
  return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}

uint64_t hash(uint64_t pool_id) { return pool_id * 0x9e3779b97f4a7c15ull; }

uint64_t block_bytes(uint64_t capacity) {
  return sizeof(StateHeader) + capacity * sizeof(StateEntry);
}

// The header of the record at offset, checked against its block's size.
const StateHeader* record_at(uint64_t offset, uint64_t* size) {
  uint32_t table_id = 0;
  const void* block = offset == 0 ? nullptr : zim_shm_pool_block_at(offset, &table_id, size);
  if (block == nullptr || table_id != ZIM_SHM_POOL_UNTYPED || *size < sizeof(StateHeader)) {
    return nullptr;
  }
  const auto* h = static_cast<const StateHeader*>(block);
  if (std::memcmp(h->magic, kStateMagic, sizeof kStateMagic) != 0 || h->capacity == 0 ||
      h->capacity > kMaxCapacity || block_bytes(h->capacity) > *size) {
    return nullptr;
  }
  return h;
}

}  // namespace

bool MirrorState::open(uint64_t capacity, std::string& why) {
  uint64_t size = 0;
  if (const uint64_t root = zim_shm_pool_root(); root != 0) {
    header_ = const_cast<StateHeader*>(record_at(root, &size));
    if (header_ == nullptr) {
      why = "the pool's root slot names no mirror record: another program's pool";
      return false;
    }
  } else {
    if (capacity == 0 || capacity > kMaxHeld) return why = "capacity out of range", false;
    // A local id: the record never takes an id that a source's object has.
    void* block = zim_shm_pool_alloc_with_id(ZIM_SHM_POOL_UNTYPED, block_bytes(2 * capacity),
                                             ZIM_SHM_POOL_LOCAL_IDS);
    if (block == nullptr) return why = "the pool cannot hold the mirror's record", false;
    header_ = static_cast<StateHeader*>(block);
    header_->capacity = 2 * capacity;
    header_->limit = capacity;
    std::memcpy(header_->magic, kStateMagic, sizeof kStateMagic);  // whole from here on
    if (zim_shm_pool_write_end(block) != 0) return why = strerror(errno), false;
    zim_shm_pool_set_root(zim_shm_pool_offset_of(block));
  }
  entries_ = reinterpret_cast<StateEntry*>(header_ + 1);
  return true;
}

void MirrorState::begin() { zim_shm_pool_write_begin(header_); }
void MirrorState::end() { zim_shm_pool_write_end(header_); }

StatePosition MirrorState::position() const {
  return header_->positions[load(header_->current) & 1];
}

void MirrorState::set_position(const StatePosition& p) {
  const uint64_t next = (load(header_->current) & 1) ^ 1;
  StatePosition& slot = header_->positions[next];
  store(slot.epoch, p.epoch);
  store(slot.ms, p.ms);
  store(slot.seq, p.seq);
  store(header_->current, next);
}

uint64_t MirrorState::source() const { return load(header_->source); }
void MirrorState::set_source(uint64_t source) { store(header_->source, source); }

// A clear cut off by the mirror's death leaves entries that nothing reads:
// the source is set only after the load that follows, so the next mirror
// clears again before it applies anything.
void MirrorState::forget_versions() {
  const uint64_t capacity = header_->capacity;
  for (uint64_t i = 0; i < capacity; ++i) {
    if (load(entries_[i].pool_id) == 0) continue;
    store(entries_[i].pool_id, uint64_t{0});
    store(entries_[i].version, uint64_t{0});
    store(entries_[i].table_id, 0u);
    store(entries_[i].retired, 0u);
  }
  store(header_->used, uint64_t{0});
}

StateEntry* MirrorState::slot_of(uint64_t pool_id) const {
  const uint64_t capacity = header_->capacity;
  for (uint64_t i = 0, at = hash(pool_id) % capacity; i < capacity; ++i) {
    const uint64_t held = load(entries_[at].pool_id);
    if (held == pool_id || held == 0) return &entries_[at];
    if (++at == capacity) at = 0;
  }
  return nullptr;
}

uint64_t MirrorState::version_of(uint64_t pool_id) const {
  const StateEntry* e = slot_of(pool_id);
  return e != nullptr && load(e->pool_id) == pool_id ? load(e->version) : 0;
}

bool MirrorState::record(uint64_t pool_id, uint32_t table_id, uint64_t version, bool retired) {
  StateEntry* e = slot_of(pool_id);
  if (e == nullptr) return false;
  const bool fresh = load(e->pool_id) == 0;
  const uint64_t used = load(header_->used), limit = load(header_->limit);
  if (fresh && limit != 0 && used >= limit) return false;
  store(e->version, version);
  store(e->table_id, table_id);
  store(e->retired, retired ? 1u : 0u);
  if (!fresh) return true;
  store(e->pool_id, pool_id);  // claims it: last
  store(header_->used, used + 1);
  return true;
}

void MirrorState::count_applied() { store(header_->applied, load(header_->applied) + 1); }
void MirrorState::count_load() { store(header_->loads, load(header_->loads) + 1); }

bool read_state(const std::string& name, StateCopy& copy, std::string& why) {
  if (zim_shm_pool_attach(name.c_str()) != 0) {
    why = std::string("cannot map it: ") + strerror(errno);
    return false;
  }
  uint64_t size = 0;
  const StateHeader* h = record_at(zim_shm_pool_root(), &size);
  bool whole = false;
  const uint64_t capacity = h != nullptr ? h->capacity : 0;  // checked against the block
  for (int i = 0; h != nullptr && i < kReadTries && !whole; ++i) {
    uint64_t version = 0;
    const int begun = zim_shm_pool_read_begin(h, &version);
    if (begun != 0 && errno != EOWNERDEAD) continue;
    std::memcpy(&copy.header, h, sizeof copy.header);
    copy.header.capacity = capacity;
    const auto* entries = reinterpret_cast<const StateEntry*>(h + 1);
    copy.entries.clear();
    for (uint64_t e = 0; e < capacity; ++e) {
      if (entries[e].pool_id != 0) copy.entries.push_back(entries[e]);
    }
    // A dead mirror's record is whole at every instruction (see the header).
    whole = begun != 0 || zim_shm_pool_read_end(h, version) == 0;
  }
  zim_shm_pool_detach();
  if (h == nullptr) why = "its root slot names no mirror record";
  if (h != nullptr && !whole) why = "its record kept changing";
  return whole;
}

}  // namespace zim_mirror
