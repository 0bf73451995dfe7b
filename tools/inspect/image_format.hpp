// SPDX-License-Identifier: Apache-2.0
// The image of a saved pool: its format, the writer that streams one into a
// file and the reader that checks one whole before anything is made of it.
// Byte by byte, all numbers little-endian:
//   header   104 bytes: "zimimage", format, pool layout version, the image's
//            length, pool size, feed and index capacities, next sequence,
//            pool ids drawn, root's pool id, N, default NPD size, and the
//            counts of NPD entries, layout records, objects and keys
//   entries  8 bytes each: table id, NPD size
//   layouts  16 bytes (table id, text size, fingerprint), the text, zeros to 8
//   objects  32 bytes (table id, 0, pool id, version, size), its bytes,
//            zeros to 8; array pointers relative to the object's first byte
//   keys     24 bytes each: table id, 0, key, pool id
//   trailer  8 bytes: CRC-32 (zlib's) of every byte before it, "zend"
#pragma once

#include <zim/sim/pool_image.h>
#include <zim/sim/pool_versions.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zim_inspect {

inline constexpr char kImageMagic[8] = {'z', 'i', 'm', 'i', 'm', 'a', 'g', 'e'};
inline constexpr uint32_t kImageFormat = 1;
inline constexpr uint32_t kImageTrailerMagic = 0x646e657a;  // "zend"
inline constexpr uint64_t kImageHeaderBytes = 104;
inline constexpr uint64_t kImageTrailerBytes = 8;
inline constexpr uint64_t kImageEntryBytes = 8;
inline constexpr uint64_t kImageLayoutHeadBytes = 16;
inline constexpr uint64_t kImageObjectHeadBytes = 32;
inline constexpr uint64_t kImageKeyBytes = 24;

// The pool-wide facts of an image (its header, less the counts).
struct ImageFacts {
  uint64_t size = 0, feed_capacity = 0, index_capacity = 0;
  uint64_t next_sequence = 0, pool_ids = 0, root_pool_id = 0;
  uint32_t max_num_npus = 0, default_npd_size = 0;
};

// An image read and checked: views into the bytes it was read from, which
// must outlive it, in the shape zim_shm_pool_restore takes.
struct Image {
  ImageFacts facts;
  std::vector<zim_shm_pool_config_entry_t> entries;
  std::vector<zim_shm_pool_image_layout_t> layouts;
  std::vector<zim_shm_pool_image_object_t> objects;
  std::vector<zim_shm_pool_image_key_t> keys;

  zim_shm_pool_image_t view() const;
};

// Reads an image from its bytes: nothing, with what is wrong and where in
// *why, unless the checksum, the format and version, and every count and
// size against the length hold.
std::optional<Image> read_image(std::string_view bytes, std::string* why);

// CRC-32 of the bytes before an image's trailer, stored in it: for a tool
// that changes an image on purpose (tests, fuzzing).
void seal_image(std::vector<unsigned char>* bytes);

// Streams an image into fd: entries and layouts, then objects, then keys;
// finish() writes the header and the trailer. Every call false with errno
// once a write failed.
class ImageWriter {
 public:
  explicit ImageWriter(int fd);
  bool entry(const zim_shm_pool_config_entry_t& e);
  bool layout(const zim_shm_pool_image_layout_t& l);
  bool object(const zim_shm_pool_image_object_t& o);
  bool key(const zim_shm_pool_image_key_t& k);
  bool finish(const ImageFacts& facts);
  uint64_t bytes() const { return length_; }

 private:
  bool add(const void* data, uint64_t size);
  bool pad();
  bool flush();

  int fd_;
  bool failed_ = false;
  std::vector<unsigned char> buffer_;
  uint64_t length_ = kImageHeaderBytes;  // written or buffered, the header included
  unsigned long body_crc_;
  uint64_t counts_[4] = {0, 0, 0, 0};  // entries, layouts, objects, keys
};

}  // namespace zim_inspect
