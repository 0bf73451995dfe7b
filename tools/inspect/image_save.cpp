// SPDX-License-Identifier: Apache-2.0
// save: a live versioned pool's image. The pool is mapped as a reader: each
// object is copied between read brackets and copied again while a write came
// in between, so its server never stops or waits; the records, the index and
// the feed's sequence are read as they stand, the sequence after the last
// object, so that every version saved lies before it.

#include "image_save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zim/sim/pool_image.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <unordered_map>

#include "codec/pool_records.hpp"
#include "image_format.hpp"
#include "image_pointers.hpp"
#include "render.hpp"

namespace zim_inspect {
namespace {

using Clock = std::chrono::steady_clock;

// How long an object's write may keep a copy from completing before the
// object is left out as under way.
constexpr auto kBusyPatience = std::chrono::seconds(10);
constexpr auto kProgressEvery = std::chrono::seconds(1);

struct Block {
  uint64_t offset, size;
  uint32_t table_id;
};

// What a walk of the mapping finds: the records, read bounded, and the live
// objects to copy.
struct Layout {
  uint32_t table_id;
  uint64_t fingerprint;
  std::string text;
};
struct Walked {
  uint32_t npus = 0, default_npd_size = 0;
  std::vector<zim_shm_pool_config_entry_t> entries;
  std::vector<Layout> layouts;
  std::vector<Block> objects;
  std::string problem;
};

int visit_piece(const zim_shm_pool_piece_t* piece, void* context) {
  auto* w = static_cast<Walked*>(context);
  if (piece->retired != 0 || piece->table_id == ZIM_SHM_POOL_DAMAGED) return 0;
  const auto* data = static_cast<const unsigned char*>(piece->data);
  if (piece->table_id <= ZIM_SHM_POOL_MAX_TABLE_ID || piece->table_id == ZIM_SHM_POOL_UNTYPED) {
    w->objects.push_back({piece->offset, piece->size, piece->table_id});
  } else if (piece->table_id == ZIM_SHM_POOL_CONFIG &&
             piece->size >= sizeof(zim_shm_pool_config_t)) {
    zim_shm_pool_config_t head;
    std::memcpy(&head, data, sizeof head);
    if (!zim_codec::config_entries_fit(head, piece->size, &w->problem)) return 1;
    w->npus = head.max_num_npus;
    w->default_npd_size = head.default_npd_size;
    w->entries.resize(head.entry_count);
    if (!w->entries.empty()) {  // a pool of defaults only has none, and data() may be null
      std::memcpy(w->entries.data(), data + sizeof head,
                  w->entries.size() * sizeof(zim_shm_pool_config_entry_t));
    }
  } else if (piece->table_id == ZIM_SHM_POOL_LAYOUT &&
             piece->size >= sizeof(zim_shm_pool_layout_record_t)) {
    zim_shm_pool_layout_record_t head;
    std::memcpy(&head, data, sizeof head);
    if (!zim_codec::layout_text_fits(head, piece->size, &w->problem)) return 1;
    w->layouts.push_back(
        {head.table_id, head.fingerprint,
         std::string(reinterpret_cast<const char*>(data) + sizeof head, head.text_size)});
  }
  return 0;
}

enum class Copied { kWhole, kTorn, kUnderWay, kGone };

// Copies obj whole into `to`, taking it again while a write came in between.
Copied copy_whole(const void* obj, uint64_t size, std::vector<unsigned char>* to, uint64_t* version,
                  uint64_t* retries) {
  const auto give_up = Clock::now() + kBusyPatience;
  to->resize(size);
  for (;;) {
    if (zim_shm_pool_read_begin(obj, version) != 0) {
      if (errno == EOWNERDEAD) return Copied::kTorn;
      if (errno != EBUSY) return Copied::kGone;  // retired since the walk
      if (Clock::now() > give_up) return Copied::kUnderWay;
      ++*retries;
      continue;
    }
    std::memcpy(to->data(), obj, size);
    if (zim_shm_pool_read_end(obj, *version) == 0) return Copied::kWhole;
    ++*retries;
  }
}

struct Saver {
  const std::string& name;
  Walked walked;
  RelativePointers pointers;
  SaveReport report;
  std::unordered_map<uint64_t, uint64_t> pool_id_at;  // offset -> pool id, of saved objects

  uint32_t npd_of(uint32_t table_id) const {
    for (const auto& e : walked.entries) {
      if (e.table_id == table_id) return e.size;
    }
    return walked.default_npd_size;
  }

  bool write_records(ImageWriter& w) {
    for (const auto& e : walked.entries) w.entry(e);
    for (const Layout& l : walked.layouts) {
      pointers.add(l.table_id, l.text, walked.npus, npd_of(l.table_id));
      w.layout({l.fingerprint, l.text.data(), static_cast<uint32_t>(l.text.size()), l.table_id});
    }
    return true;
  }

  bool write_objects(ImageWriter& w) {
    std::vector<unsigned char> copy;
    auto progress = Clock::now() + kProgressEvery;
    char* const base = static_cast<char*>(zim_shm_pool_base());
    for (const Block& b : walked.objects) {
      const void* obj = base + b.offset;
      uint64_t version = 0;
      const Copied c = copy_whole(obj, b.size, &copy, &version, &report.retries);
      const uint64_t pool_id = zim_shm_pool_id_of(obj);
      if (c == Copied::kGone) ++report.gone;
      if (c == Copied::kTorn || c == Copied::kUnderWay) {
        const pid_t writer = zim_shm_pool_writer_of(obj);
        report.torn.push_back({b.offset, pool_id, b.table_id, c == Copied::kTorn ? writer : 0});
      }
      if (c != Copied::kWhole) continue;
      pointers.lay_out(b.table_id, copy.data(), b.size);
      if (!w.object({pool_id, version, b.size, copy.data(), b.table_id, 0})) return false;
      pool_id_at[b.offset] = pool_id;
      ++report.objects;
      if (Clock::now() > progress) {
        std::fprintf(stderr, "zim_tables_inspect: saving %s: %llu of %zu objects\n",
                     printable(name).c_str(), static_cast<unsigned long long>(report.objects),
                     walked.objects.size());
        progress = Clock::now() + kProgressEvery;
      }
    }
    return true;
  }

  bool write_keys(ImageWriter& w, std::string& error) {
    std::vector<zim_shm_pool_index_entry_t> keys(64);
    int64_t n;
    while ((n = zim_shm_pool_index_list(keys.data(), keys.size())) >
           static_cast<int64_t>(keys.size())) {
      keys.resize(static_cast<size_t>(n));
    }
    if (n < 0) return error = "cannot list its index: " + std::string(std::strerror(errno)), false;
    keys.resize(static_cast<size_t>(n));
    for (const auto& k : keys) {
      const auto it = pool_id_at.find(k.offset);
      if (it == pool_id_at.end() || it->second != k.pool_id) {
        ++report.keys_left_out;
        continue;
      }
      if (!w.key({k.key, k.pool_id, k.table_id, 0})) return false;
      ++report.keys;
    }
    return true;
  }

  // The pool's facts, read after the objects: every version saved lies
  // before the sequence, every pool id saved at or before the count drawn.
  bool facts(ImageFacts* f, std::string& error) {
    zim_shm_pool_cursor_t cursor;
    zim_shm_pool_rooms_report_t rooms{};
    zim_shm_pool_versions_report_t versions{};
    if (zim_shm_pool_follow(&cursor) != 0 ||
        zim_shm_pool_rooms_read(name.c_str(), &rooms, nullptr, nullptr) != 1 ||
        zim_shm_pool_versions_read(name.c_str(), &versions) != 1) {
      return error = "cannot read its feed and index", false;
    }
    const auto root = pool_id_at.find(zim_shm_pool_root());
    *f = {zim_shm_pool_size(), rooms.feed_capacity,    rooms.index_capacity,
          cursor.next,         versions.pool_ids,      root != pool_id_at.end() ? root->second : 0,
          walked.npus,         walked.default_npd_size};
    report.next_sequence = cursor.next;
    return true;
  }
};

std::string folder_of(const std::string& file) {
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// Writes the image into a temporary file of file's folder and renames it
// into place once complete and on disk.
bool write_image(Saver& s, const std::string& file, std::string& error) {
  std::string temp = folder_of(file) + "/.zim_image.XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0)
    return error = "cannot create a file beside " + file + ": " + std::strerror(errno), false;
  ImageWriter w(fd);
  ImageFacts f;
  bool ok = s.write_records(w) && s.write_objects(w) && s.write_keys(w, error);
  ok = ok && s.facts(&f, error) && w.finish(f) && fsync(fd) == 0;
  if (ok && error.empty()) ok = std::rename(temp.c_str(), file.c_str()) == 0;
  if (!ok && error.empty()) error = "cannot write " + file + ": " + std::strerror(errno);
  close(fd);
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  s.report.bytes = w.bytes() + kImageTrailerBytes;
  // The rename itself on disk too, where the folder can be synced.
  const int dir = open(folder_of(file).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace

std::optional<SaveReport> save_pool(const std::string& name, const std::string& file,
                                    std::string& error) {
  if (zim_shm_pool_attach(name.c_str()) != 0) {
    error = std::string("cannot map it: ") + std::strerror(errno);
    return std::nullopt;
  }
  Saver s{name, {}, {}, {}, {}};
  s.report.pool = name;
  s.report.file = file;
  bool ok = zim_shm_pool_is_versioned() == 1;
  if (!ok) error = "it is not a versioned pool";
  if (ok && zim_shm_pool_walk_mapped(visit_piece, &s.walked) != 0) {
    error = "its records do not read: " + s.walked.problem;
    ok = false;
  }
  ok = ok && write_image(s, file, error);
  zim_shm_pool_detach();
  if (!ok) return std::nullopt;
  return s.report;
}

}  // namespace zim_inspect
