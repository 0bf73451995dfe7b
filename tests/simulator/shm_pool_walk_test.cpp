// SPDX-License-Identifier: Apache-2.0
// The walks of the shared-memory table pool: every block found, damage
// between them, segments that are not walkable or that shrink meanwhile.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint64_t kPoolSize = 8u << 20;

// Damage shows between the blocks still found; the inspector's test walks another process's pool.
TEST_F(ShmPoolTest, WalkFindsEveryBlockAndTheDamage) {
  const std::pair<uint32_t, uint64_t> requests[] = {// in address order
                                                    {6, 40},
                                                    {6, 1},
                                                    {5, 16},
                                                    {5, 300},
                                                    {6, kChunk + 100},
                                                    {342, kChunk - kHeader},
                                                    {ZIM_SHM_POOL_UNTYPED, 24},
                                                    {ZIM_SHM_POOL_UNTYPED, 8}};
  create(kPoolSize);
  std::vector<Piece> want;
  for (int i = 0; i < int(std::size(requests)); ++i) {
    const auto [table_id, size] = requests[i];
    void* p = pool_calloc(table_id, size);
    std::memset(p, 0x10 + i, size);
    want.push_back({zim_shm_pool_offset_of(p), size, table_id, 0x10 + i});
  }
  int rc = -1;
  EXPECT_EQ(walk(name_.c_str(), &rc), want);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(walk(name_.c_str(), &rc, true), want);
  EXPECT_EQ(rc, 0);

  // Block 1 lost its magic, block 2's size runs past the carve point, and
  // table 5's chunk holds a line of garbage after its blocks.
  const auto word = [](uint64_t offset) { return static_cast<uint64_t*>(zim_shm_pool_at(offset)); };
  *word(want[1].offset - kHeader) = 0;
  *word(want[2].offset - 8) = UINT64_MAX;
  const uint64_t garbage = want[3].offset + 304 + 2 * kHeader;
  std::memset(word(garbage), 0x77, kHeader);
  for (Piece* p : {&want[1], &want[2]}) {  // the header and the block's first line
    *p = {p->offset - kHeader, 2 * kHeader, ZIM_SHM_POOL_DAMAGED, -1};
  }
  want.insert(want.begin() + 4, {garbage, kHeader, ZIM_SHM_POOL_DAMAGED, 0x77});
  EXPECT_EQ(walk(name_.c_str(), &rc), want);
  EXPECT_EQ(walk(nullptr, &rc), want) << "the walk of the mapped pool";
  EXPECT_EQ(walk(name_.c_str(), &rc, true), want) << "the walk of headers";
  int seen = 0;  // a visit that returns non-zero ends the walk
  const auto stop = [](const zim_shm_pool_piece_t*, void* n) { return ++*(int*)n == 2 ? 7 : 0; };
  EXPECT_TRUE(zim_shm_pool_walk(name_.c_str(), stop, &seen) == 7 && seen == 2);
  // A visit reads its own piece, inside it, and nothing else.
  const auto refused = [](const zim_shm_pool_piece_t* p, void*) {
    unsigned char b[2];
    const zim_shm_pool_piece_t copy = *p;
    for (const auto& [piece, from, size] :
         {std::tuple{p, p->size, uint64_t{1}}, {p, uint64_t{1}, UINT64_MAX}, {&copy, 0, 1}}) {
      if (zim_shm_pool_piece_read(piece, from, size, b) != -1 || errno != EINVAL) return 1;
    }
    return zim_shm_pool_piece_read(p, p->size - 1, 1, b);
  };
  EXPECT_EQ(zim_shm_pool_walk_headers(name_.c_str(), refused, nullptr, nullptr), 0);
  const zim_shm_pool_piece_t unvisited{};
  EXPECT_TRUE(zim_shm_pool_piece_read(&unvisited, 0, 0, nullptr) == -1 && errno == EINVAL);

  // Not walkable, each for its own reason.
  const auto* base = static_cast<const unsigned char*>(zim_shm_pool_base());
  const std::vector<unsigned char> image(base, base + kPoolSize);
  const auto patched = [&image](size_t at, auto value) {
    std::vector<unsigned char> bytes = image;
    std::memcpy(bytes.data() + at, &value, sizeof value);
    return bytes;
  };
  std::vector<unsigned char> longer = image;
  longer.resize(kPoolSize + 4096);
  const struct {
    const char* name;  // null: a unique one, with the segment under it
    std::vector<unsigned char> segment;
    int err;
    uint32_t fault;
  } cases[] = {
      {"/zim_sim_test.none", {}, ENOENT, ZIM_SHM_POOL_FAULT_NONE},
      {"zim_sim_test", {}, EINVAL, ZIM_SHM_POOL_FAULT_NAME},
      {nullptr, {}, EINVAL, ZIM_SHM_POOL_FAULT_EMPTY},
      {nullptr, std::vector<unsigned char>(ZIM_SHM_POOL_MIN_SIZE, 'j'), EINVAL,
       ZIM_SHM_POOL_FAULT_NOT_A_POOL},
      {nullptr, patched(offsetof(zim_sim::PoolHeader, version), zim_sim::kVersionedPoolVersion + 1),
       EINVAL, ZIM_SHM_POOL_FAULT_VERSION},
      {nullptr, {image.begin(), image.end() - 4096}, EINVAL, ZIM_SHM_POOL_FAULT_CUT_SHORT},
      {nullptr, longer, EINVAL, ZIM_SHM_POOL_FAULT_EXTENDED},
      {nullptr, patched(offsetof(zim_sim::PoolHeader, carve), uint64_t{kPoolSize + 16}), EINVAL,
       ZIM_SHM_POOL_FAULT_CARVE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string other = c.name ? c.name : unique_pool_name();
    ASSERT_TRUE(c.name || put_segment(other, c.segment.data(), c.segment.size()));
    EXPECT_TRUE(walk(other.c_str(), &rc).empty() && rc == -1 && errno == c.err);
    zim_shm_pool_walk_facts_t facts{};
    EXPECT_EQ(zim_shm_pool_walk_headers(other.c_str(), stop, &seen, &facts), -1);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(facts.fault, c.fault);
    EXPECT_EQ(facts.layout_version,
              c.fault == ZIM_SHM_POOL_FAULT_VERSION     ? zim_sim::kVersionedPoolVersion + 1
              : c.fault > ZIM_SHM_POOL_FAULT_NOT_A_POOL ? zim_sim::kPoolVersion
                                                        : 0);
    shm_unlink(other.c_str());
  }
}

// A segment cut short during a walk by name (here by the visitor) ends the
// walk with ENODATA, not a signal, unless what is left holds the carved part.
TEST_F(ShmPoolTest, WalkOfASegmentCutShortMeanwhileFails) {
  create(kPoolSize);
  for (const auto& [table_id, size] : std::vector<std::pair<uint32_t, uint64_t>>{
           {1, 100}, {2, 3 * kChunk}, {1, 16}, {3, 5 * kChunk}, {4, 64}}) {
    // Ids from 5001: no layout record is carved beside their blocks.
    std::memset(zim_shm_table_pool_calloc(5000 + table_id, size), 0x40 + int(table_id), size);
  }
  // Carved: the configuration, the page of ids 4864 to 5119, the chunk of id 1,
  // the two runs, the chunk of id 4.
  const uint64_t carve = ZIM_SHM_POOL_HEADER_SIZE + kConfigRecord + kHeader +
                         sizeof(zim_sim::IdPage) + kChunk + (3 * kChunk + kHeader) +
                         (5 * kChunk + kHeader) + kChunk;
  // The walk reads ahead up to a chunk of lines: a cut inside what it has
  // read shows only when it reads further, or at its end.
  struct Cut {
    int at_piece;       // cut while visiting this piece
    uint64_t new_size;  // of the segment
    int want_rc;
    size_t want_pieces;  // visited
    int fd = -1;
    size_t seen = 0;
  } cases[] = {
      {2, 0, -1, 4},  // pieces 0 and 1: the configuration and the id page
      {2, ZIM_SHM_POOL_HEADER_SIZE, -1, 4},
      {3, ZIM_SHM_POOL_HEADER_SIZE + 2 * kChunk, -1, 4},  // inside the first run
      {4, carve - 1, -1, 6},                              // in the chunk of id 4
      {6, carve - 1, -1, 7},                              // after the last read
      {6, carve, 0, 7},
  };
  const std::string other = unique_pool_name();
  for (const bool headers : {false, true}) {  // the visits read their pieces themselves
    for (Cut c : cases) {
      SCOPED_TRACE(std::to_string(c.new_size) + (headers ? " headers" : ""));
      ASSERT_TRUE(put_segment(other, zim_shm_pool_base(), kPoolSize));
      c.fd = shm_open(other.c_str(), O_RDWR, 0);
      const auto visit = [](const zim_shm_pool_piece_t* p, void* context) {
        auto* k = static_cast<Cut*>(context);
        std::vector<unsigned char> bytes(p->data == nullptr ? p->size : 0);
        if (p->data == nullptr && zim_shm_pool_piece_read(p, 0, p->size, bytes.data()) != 0) {
          return -1;
        }
        // the bytes handed over are the piece's
        if (!is_record(p->table_id) && fill_of(p->data ? p->data : bytes.data(), p->size) < 0) {
          return 9;
        }
        const bool now = int(k->seen++) == k->at_piece;
        return now && ftruncate(k->fd, off_t(k->new_size)) != 0 ? 8 : 0;
      };
      errno = 0;
      zim_shm_pool_walk_facts_t facts{};
      const int rc = headers ? zim_shm_pool_walk_headers(other.c_str(), visit, &c, &facts)
                             : zim_shm_pool_walk(other.c_str(), visit, &c);
      const int err = errno;
      EXPECT_EQ(rc, c.want_rc);
      EXPECT_TRUE(rc == 0 || err == ENODATA) << std::strerror(err);
      EXPECT_EQ(facts.fault, headers && rc != 0 ? ZIM_SHM_POOL_FAULT_SHRANK : 0u);
      EXPECT_EQ(c.seen, c.want_pieces);
      close(c.fd);
      shm_unlink(other.c_str());
    }
  }
}

}  // namespace
}  // namespace zim_sim_test
