// SPDX-License-Identifier: Apache-2.0
// Reading an image: outside bytes, checked whole before anything is made of
// them. Every count is held against the bytes left before anything is sized
// by it, and every size against the bytes left before it is stepped over.

#include <zlib.h>

#include <cstring>

#include "image_format.hpp"

namespace zim_inspect {
namespace {

// A cursor over the image's bytes that never steps past its end.
class Bytes {
 public:
  Bytes(std::string_view bytes, uint64_t end) : data_(bytes.data()), end_(end) {}
  uint64_t at() const { return at_; }
  uint64_t left() const { return end_ - at_; }
  bool take(void* to, uint64_t n) {
    if (n > left()) return false;
    if (n != 0) std::memcpy(to, data_ + at_, n);  // an empty part's `to` may be null
    at_ += n;
    return true;
  }
  uint64_t u64() {
    uint64_t v = 0;
    take(&v, sizeof v);
    return v;
  }
  uint32_t u32() {
    uint32_t v = 0;
    take(&v, sizeof v);
    return v;
  }
  // A view of the next n bytes, then the zeros up to a multiple of 8.
  const char* span(uint64_t n, bool* zero_padded) {
    const uint64_t padded = n + (8 - n % 8) % 8;
    if (n > left() || padded > left()) return nullptr;
    const char* p = data_ + at_;
    *zero_padded = true;
    for (uint64_t i = n; i < padded; ++i) *zero_padded = *zero_padded && p[i] == 0;
    at_ += padded;
    return p;
  }

 private:
  const char* data_;
  uint64_t end_;
  uint64_t at_ = 0;
};

std::string at_text(uint64_t at) { return " (at byte " + std::to_string(at) + ")"; }

bool fail(std::string* why, std::string text) {
  *why = std::move(text);
  return false;
}

// The counts of the header, each bounded by the bytes its records would take.
struct Counts {
  uint64_t entries, layouts, objects, keys;
};

bool read_header(Bytes& b, uint64_t length, ImageFacts* f, Counts* c, std::string* why) {
  char magic[8];
  b.take(magic, sizeof magic);
  if (std::memcmp(magic, kImageMagic, sizeof magic) != 0) return fail(why, "not a pool image");
  const uint32_t format = b.u32(), layout_version = b.u32();
  if (format != kImageFormat || layout_version != ZIM_SHM_POOL_VERSIONED_LAYOUT_VERSION) {
    return fail(why, "an image of format " + std::to_string(format) + " of a pool of version " +
                         std::to_string(layout_version) + ", not format " +
                         std::to_string(kImageFormat) + " of version " +
                         std::to_string(ZIM_SHM_POOL_VERSIONED_LAYOUT_VERSION));
  }
  if (b.u64() != length) return fail(why, "its length is not the one its header states");
  f->size = b.u64();
  f->feed_capacity = b.u64();
  f->index_capacity = b.u64();
  f->next_sequence = b.u64();
  f->pool_ids = b.u64();
  f->root_pool_id = b.u64();
  f->max_num_npus = b.u32();
  f->default_npd_size = b.u32();
  c->entries = b.u32();
  c->layouts = b.u32();
  c->objects = b.u64();
  c->keys = b.u64();
  // Each record takes at least its fixed part: a count past what the bytes
  // left could hold is damage, found before anything is sized by it.
  const uint64_t left = b.left();
  if (c->entries > left / kImageEntryBytes || c->layouts > left / kImageLayoutHeadBytes ||
      c->objects > left / kImageObjectHeadBytes || c->keys > left / kImageKeyBytes) {
    return fail(why, "a count in its header runs past its end");
  }
  return true;
}

bool read_layouts(Bytes& b, uint64_t count, Image* im, std::string* why) {
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t at = b.at();
    zim_shm_pool_image_layout_t l{};
    if (b.left() < kImageLayoutHeadBytes) {
      return fail(why, "layout record " + std::to_string(i) + " runs past the end" + at_text(at));
    }
    l.table_id = b.u32();
    l.text_size = b.u32();
    l.fingerprint = b.u64();
    bool zeros = false;
    l.text = b.span(l.text_size, &zeros);
    if (l.text == nullptr) {
      return fail(why, "layout record " + std::to_string(i) + " runs past the end" + at_text(at));
    }
    if (!zeros) return fail(why, "layout record " + std::to_string(i) + " is not zero-padded");
    im->layouts.push_back(l);
  }
  return true;
}

bool read_objects(Bytes& b, uint64_t count, Image* im, std::string* why) {
  im->objects.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t at = b.at();
    zim_shm_pool_image_object_t o{};
    if (b.left() < kImageObjectHeadBytes) {
      return fail(why, "object " + std::to_string(i) + " runs past the end" + at_text(at));
    }
    o.table_id = b.u32();
    o.reserved = b.u32();
    o.pool_id = b.u64();
    o.version = b.u64();
    o.size = b.u64();
    bool zeros = false;
    o.bytes = b.span(o.size, &zeros);
    if (o.reserved != 0 || o.bytes == nullptr || !zeros) {
      return fail(
          why, "object " + std::to_string(i) + " runs past the end or is not padded" + at_text(at));
    }
    im->objects.push_back(o);
  }
  return true;
}

bool read_sections(Bytes& b, const Counts& c, Image* im, std::string* why) {
  for (uint64_t i = 0; i < c.entries; ++i) {
    const uint32_t table_id = b.u32();
    im->entries.push_back({table_id, b.u32()});
  }
  if (!read_layouts(b, c.layouts, im, why) || !read_objects(b, c.objects, im, why)) return false;
  if (c.keys > b.left() / kImageKeyBytes) return fail(why, "its keys run past its end");
  for (uint64_t i = 0; i < c.keys; ++i) {
    zim_shm_pool_image_key_t k{};
    k.table_id = b.u32();
    k.reserved = b.u32();
    k.key = b.u64();
    k.pool_id = b.u64();
    if (k.reserved != 0) return fail(why, "key " + std::to_string(i) + " is damaged");
    im->keys.push_back(k);
  }
  if (b.left() != 0) return fail(why, "bytes after its keys" + at_text(b.at()));
  return true;
}

}  // namespace

std::optional<Image> read_image(std::string_view bytes, std::string* why) {
  if (bytes.size() < kImageHeaderBytes + kImageTrailerBytes) {
    return fail(why, "cut short: " + std::to_string(bytes.size()) + " bytes"), std::nullopt;
  }
  const uint64_t body = bytes.size() - kImageTrailerBytes;
  uint32_t stored_crc = 0, trailer_magic = 0;
  std::memcpy(&stored_crc, bytes.data() + body, 4);
  std::memcpy(&trailer_magic, bytes.data() + body + 4, 4);
  if (trailer_magic != kImageTrailerMagic) {
    return fail(why, "it does not end as an image does: cut short or extended"), std::nullopt;
  }
  // zlib's crc32 takes a 32-bit length: in steps below 1 GiB.
  uLong crc = crc32(0L, Z_NULL, 0);
  for (uint64_t at = 0; at < body;) {
    const uInt n = static_cast<uInt>(body - at < (1u << 30) ? body - at : (1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data() + at), n);
    at += n;
  }
  if (crc != stored_crc) return fail(why, "its checksum does not match its bytes"), std::nullopt;
  Bytes b(bytes, body);
  Image im;
  Counts counts{};
  if (!read_header(b, bytes.size(), &im.facts, &counts, why)) return std::nullopt;
  if (!read_sections(b, counts, &im, why)) return std::nullopt;
  return im;
}

zim_shm_pool_image_t Image::view() const {
  zim_shm_pool_image_t v{};
  v.size = facts.size;
  v.feed_capacity = facts.feed_capacity;
  v.index_capacity = facts.index_capacity;
  v.next_sequence = facts.next_sequence;
  v.pool_ids = facts.pool_ids;
  v.root_pool_id = facts.root_pool_id;
  v.max_num_npus = facts.max_num_npus;
  v.default_npd_size = facts.default_npd_size;
  v.npd_entries = entries.data();
  v.npd_entry_count = entries.size();
  v.layouts = layouts.data();
  v.layout_count = layouts.size();
  v.objects = objects.data();
  v.object_count = objects.size();
  v.keys = keys.data();
  v.key_count = keys.size();
  return v;
}

}  // namespace zim_inspect
