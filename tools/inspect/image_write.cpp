// SPDX-License-Identifier: Apache-2.0
// Writing an image: streamed through a buffer, the header left for last (its
// counts are known only then), its checksum joined to the body's.

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "image_format.hpp"

namespace zim_inspect {
namespace {

constexpr size_t kBufferBytes = size_t{1} << 20;

uLong crc_of(uLong crc, const unsigned char* data, uint64_t size) {
  while (size > 0) {
    const uInt n = static_cast<uInt>(size < (1u << 30) ? size : (1u << 30));
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return crc;
}

bool write_all(int fd, const unsigned char* data, size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = at < 0 ? write(fd, data, size) : pwrite(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    if (at >= 0) at += n;
  }
  return true;
}

template <typename T>
void put(unsigned char*& p, T value) {
  std::memcpy(p, &value, sizeof value);
  p += sizeof value;
}

}  // namespace

ImageWriter::ImageWriter(int fd) : fd_(fd), body_crc_(crc32(0L, Z_NULL, 0)) {
  buffer_.reserve(kBufferBytes);
  // The header's place; finish() writes it.
  if (lseek(fd_, static_cast<off_t>(kImageHeaderBytes), SEEK_SET) < 0) failed_ = true;
}

bool ImageWriter::flush() {
  if (!failed_ && !write_all(fd_, buffer_.data(), buffer_.size(), -1)) failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool ImageWriter::add(const void* data, uint64_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  body_crc_ = crc_of(body_crc_, p, size);
  length_ += size;
  while (size > 0) {
    const uint64_t room = kBufferBytes - buffer_.size();
    const uint64_t n = size < room ? size : room;
    buffer_.insert(buffer_.end(), p, p + n);
    p += n;
    size -= n;
    if (buffer_.size() == kBufferBytes && !flush()) return false;
  }
  return !failed_;
}

bool ImageWriter::pad() {
  static constexpr unsigned char kZeros[8] = {};
  return add(kZeros, (8 - length_ % 8) % 8);
}

bool ImageWriter::entry(const zim_shm_pool_config_entry_t& e) {
  ++counts_[0];
  return add(&e.table_id, 4) && add(&e.size, 4);
}

bool ImageWriter::layout(const zim_shm_pool_image_layout_t& l) {
  ++counts_[1];
  return add(&l.table_id, 4) && add(&l.text_size, 4) && add(&l.fingerprint, 8) &&
         add(l.text, l.text_size) && pad();
}

bool ImageWriter::object(const zim_shm_pool_image_object_t& o) {
  ++counts_[2];
  const uint32_t zero = 0;
  return add(&o.table_id, 4) && add(&zero, 4) && add(&o.pool_id, 8) && add(&o.version, 8) &&
         add(&o.size, 8) && add(o.bytes, o.size) && pad();
}

bool ImageWriter::key(const zim_shm_pool_image_key_t& k) {
  ++counts_[3];
  const uint32_t zero = 0;
  return add(&k.table_id, 4) && add(&zero, 4) && add(&k.key, 8) && add(&k.pool_id, 8);
}

bool ImageWriter::finish(const ImageFacts& f) {
  unsigned char head[kImageHeaderBytes];
  unsigned char* p = head;
  std::memcpy(p, kImageMagic, sizeof kImageMagic);
  p += sizeof kImageMagic;
  put(p, kImageFormat);
  put(p, uint32_t{ZIM_SHM_POOL_VERSIONED_LAYOUT_VERSION});
  put(p, length_ + kImageTrailerBytes);
  for (uint64_t v :
       {f.size, f.feed_capacity, f.index_capacity, f.next_sequence, f.pool_ids, f.root_pool_id}) {
    put(p, v);
  }
  put(p, f.max_num_npus);
  put(p, f.default_npd_size);
  put(p, static_cast<uint32_t>(counts_[0]));
  put(p, static_cast<uint32_t>(counts_[1]));
  put(p, counts_[2]);
  put(p, counts_[3]);
  const uLong crc = crc32_combine(crc_of(crc32(0L, Z_NULL, 0), head, sizeof head), body_crc_,
                                  static_cast<z_off_t>(length_ - kImageHeaderBytes));
  unsigned char trailer[kImageTrailerBytes];
  unsigned char* t = trailer;
  put(t, static_cast<uint32_t>(crc));
  put(t, kImageTrailerMagic);
  if (!flush() || !write_all(fd_, trailer, sizeof trailer, -1) ||
      !write_all(fd_, head, sizeof head, 0)) {
    failed_ = true;
  }
  return !failed_;
}

void seal_image(std::vector<unsigned char>* bytes) {
  if (bytes->size() < kImageTrailerBytes) return;
  const uint64_t body = bytes->size() - kImageTrailerBytes;
  const auto crc = static_cast<uint32_t>(crc_of(crc32(0L, Z_NULL, 0), bytes->data(), body));
  std::memcpy(bytes->data() + body, &crc, sizeof crc);
}

}  // namespace zim_inspect
