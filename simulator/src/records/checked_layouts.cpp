// SPDX-License-Identifier: Apache-2.0
// libzim_memory: which table ids this process has checked against the mapped
// pool's layout records, so that only an id's first block looks at the
// program's notes.

#include "records/checked_layouts.hpp"

#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "records/program_layouts.hpp"

namespace zim_sim {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// The table ids whose first block in this process found or recorded the
// program's layout in the mapped pool: their later blocks need no check.
std::atomic<uint64_t> g_checked[(ZIM_SHM_POOL_MAX_TABLE_ID + 1) / 64];
// The table ids the program carries no note for; while the same objects stay
// loaded, their blocks need no look at the notes either.
std::atomic<uint64_t> g_unnoted[(ZIM_SHM_POOL_MAX_TABLE_ID + 1) / 64];
std::atomic<uint64_t> g_checked_serial{0};  // of the program's layouts they were checked against
// The note each checked id was checked with: its later blocks are held to
// its sizes without a look at the notes.
std::atomic<const NoteLayout*> g_checked_notes[ZIM_SHM_POOL_MAX_TABLE_ID + 1];
// Every scan whose notes g_checked_notes may point into; scans happen only
// when objects are loaded or unloaded. Never freed: other libraries'
// destructors may still make objects.
std::mutex g_kept_mutex;
auto* g_kept = new std::vector<std::shared_ptr<const ProgramLayouts>>;

bool in(const std::atomic<uint64_t>* bits, uint32_t id) {
  return bits[id / 64].load(kRelaxed) >> id % 64 & 1;
}
void add(std::atomic<uint64_t>* bits, uint32_t id) {
  bits[id / 64].fetch_or(uint64_t{1} << id % 64, kRelaxed);
}

}  // namespace

bool needs_no_note(uint32_t id) {
  return in(g_checked, id) ||
         (in(g_unnoted, id) && zim_sim::loaded_objects_unchanged(g_checked_serial.load(kRelaxed)));
}

bool note_of(uint32_t id, std::shared_ptr<const zim_sim::ProgramLayouts>* layouts,
             const zim_sim::NoteLayout** note) {
  *layouts = zim_sim::program_layouts();
  // Other objects loaded: what they bring is checked again.
  if (g_checked_serial.exchange((*layouts)->serial) != (*layouts)->serial) {
    zim_sim::forget_checked_layouts();
    std::lock_guard<std::mutex> guard(g_kept_mutex);
    g_kept->push_back(*layouts);
  }
  const auto it = (*layouts)->by_id.find(id);
  *note = it != (*layouts)->by_id.end() ? &it->second : nullptr;
  if (*note == nullptr) add(g_unnoted, id);
  if (*note == nullptr || (*note)->conflict.empty()) return true;
  std::fprintf(stderr, "zim_memory: cannot make an object: %s\n", (*note)->conflict.c_str());
  return false;
}

void add_checked(uint32_t id, const NoteLayout* note) {
  g_checked_notes[id].store(note, std::memory_order_release);
  add(g_checked, id);
}

const NoteLayout* checked_note(uint32_t id) {
  return in(g_checked, id) ? g_checked_notes[id].load(std::memory_order_acquire) : nullptr;
}

void forget_checked_layouts() {
  for (auto& word : g_checked) word.store(0, kRelaxed);
  for (auto& word : g_unnoted) word.store(0, kRelaxed);
  for (auto& note : g_checked_notes) note.store(nullptr, kRelaxed);
}

}  // namespace zim_sim
