// SPDX-License-Identifier: Apache-2.0
// Each floor of the straightforward build against the library's operation
// on the same input, for every type at counts 0, 1, 8 and 100: the same
// bytes (array pointers taken as offsets from their object) and the same
// platform calls in the same order. The uids match because the controllable
// platform hands out the same one to both sides.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "straightforward.h"
#include "test_platform.hpp"
#include "zim/tables/catalogue.hpp"

namespace zim_test {
namespace {

namespace cat = zim_tables::catalogue;
using Bytes = std::vector<unsigned char>;

constexpr uint32_t kNpus = 4;
constexpr uint32_t kNpdSize = 16;
constexpr uint32_t kUid = 4242;

struct Subject {
  const cat::TableType* type;
  const sf_operations* sf;
  uint32_t count;
  void* src;
};

uintptr_t pointer_at(const void* obj, uint32_t at) {
  uintptr_t p;
  std::memcpy(&p, static_cast<const unsigned char*>(obj) + at, sizeof p);
  return p;
}

bool is_slot_or_header(const cat::TableType& t, uint32_t at) {
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.is_array() &&
        ((at >= f.offset && at < f.offset + 8) || (at >= f.flag_at && at < f.flag_at + 8)))
      return true;
  }
  for (uint32_t i = 0; i < t.header_count; ++i)
    if (at >= t.header[i].offset && at < t.header[i].offset + t.header[i].width) return true;
  return at < ZIM_OBJ_BASE_HEADER_SIZE;
}

// A source from the library's constructor with every byte of its fixed part
// past the headers set, gaps and the NPD flag included (a floor that moved a
// byte between fields would carry it into the copy), and every element and
// element flag set. Without `arrays` its array pointers are null.
void* make_source(const Subject& s, bool arrays) {
  const cat::TableType& t = *s.type;
  auto* obj = static_cast<unsigned char*>(t.ops.srv_ctor(s.count));
  for (uint32_t at = 0; at < t.fixed_size; ++at)
    if (!is_slot_or_header(t, at)) obj[at] = static_cast<unsigned char>(at * 7 + 3);
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (!f.is_array()) continue;
    const uint32_t n = f.kind == cat::ItemKind::kPerNpuArray ? kNpus : s.count;
    auto* data = reinterpret_cast<unsigned char*>(pointer_at(obj, f.offset));
    auto* flags = reinterpret_cast<unsigned char*>(pointer_at(obj, f.flag_at));
    for (uint32_t k = 0; n != 0 && k < n * f.width; ++k)
      data[k] = static_cast<unsigned char>(k + i);
    for (uint32_t k = 0; k < n; ++k) flags[k] = static_cast<unsigned char>(k % 3);
    if (!arrays) {
      std::memset(obj + f.offset, 0, 8);
      std::memset(obj + f.flag_at, 0, 8);
    }
  }
  return obj;
}

// The object's bytes with every array pointer an offset from the object.
Bytes relative(const cat::TableType& t, const void* obj) {
  uint32_t size;
  std::memcpy(&size, static_cast<const unsigned char*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET, 4);
  Bytes bytes(static_cast<const unsigned char*>(obj),
              static_cast<const unsigned char*>(obj) + size);
  for (uint32_t i = 0; i < t.field_count; ++i) {
    if (!t.fields[i].is_array()) continue;
    for (const uint32_t slot : {t.fields[i].offset, t.fields[i].flag_at}) {
      uintptr_t p = pointer_at(obj, slot);
      if (p != 0) p -= reinterpret_cast<uintptr_t>(obj) - 1;
      std::memcpy(bytes.data() + slot, &p, sizeof p);
    }
  }
  return bytes;
}

// Where two objects' bytes part, or "" where they do not.
std::string difference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size())
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
  for (size_t at = 0; at < a.size(); ++at)
    if (a[at] != b[at]) return "byte " + std::to_string(at);
  return "";
}

// An operation of the library and its floor, each making one heap object.
struct Contest {
  const char* name;
  bool reads_source;
  void* (*library)(const Subject& s);
  void* (*floor)(const Subject& s);
};

void* lib_ctor(const Subject& s) { return s.type->ops.srv_ctor(s.count); }
void* floor_ctor(const Subject& s) {
  return s.type->takes_count() ? s.sf->ctor_floor(s.count) : s.sf->ctor_floor_void();
}
void* lib_copy(const Subject& s) { return s.type->ops.copy_ctor(s.src); }
void* floor_copy(const Subject& s) { return s.sf->copy_floor(s.src); }
void* lib_read(const Subject& s) {
  void* dst = s.type->ops.srv_ctor(s.count);
  s.type->ops.read_dbobj(s.src, dst);
  return dst;
}
void* floor_read(const Subject& s) {
  void* dst = s.type->ops.srv_ctor(s.count);
  s.sf->read_floor(s.src, dst);
  return dst;
}

const Contest kContests[] = {
    {"constructor", false, lib_ctor, floor_ctor},
    {"copy constructor", true, lib_copy, floor_copy},
    {"read_dbobj", true, lib_read, floor_read},
};

struct Made {
  Bytes bytes;
  std::vector<PlatformCall> calls;
};

Made make(void* (*op)(const Subject&), const Subject& s) {
  platform().next_uid = kUid;
  calls().clear();
  void* obj = op(s);
  Made made{relative(*s.type, obj), calls()};
  std::free(obj);
  return made;
}

bool has_arrays(const cat::TableType& t) {
  for (uint32_t i = 0; i < t.field_count; ++i)
    if (t.fields[i].is_array()) return true;
  return false;
}

TEST(Floors, MakeTheLibrarysObjectsWithItsPlatformCalls) {
  const std::vector<uint32_t> counted = {0, 1, 8, 100}, uncounted = {0};
  int failures = 0;
  for (size_t i = 0; i < cat::type_count && failures < 20; ++i) {
    const cat::TableType& t = cat::types[i];
    const sf_operations* sf = sf_find(t.name);
    ASSERT_NE(sf, nullptr) << t.name;
    for (const uint32_t count : t.takes_count() ? counted : uncounted) {
      for (const bool arrays : {true, false}) {
        if (!arrays && !has_arrays(t)) continue;
        reset_platform(kNpus, kNpdSize);
        Subject s{&t, sf, count, nullptr};
        s.src = make_source(s, arrays);
        for (const Contest& c : kContests) {
          if (!arrays && !c.reads_source) continue;
          const std::string what = std::string(t.name) + " count " + std::to_string(count) + " " +
                                   c.name + (arrays ? "" : ", null source arrays");
          const Made lib = make(c.library, s), floor = make(c.floor, s);
          const bool same = lib.bytes == floor.bytes && lib.calls == floor.calls;
          EXPECT_EQ(difference(lib.bytes, floor.bytes), "") << what;
          EXPECT_TRUE(lib.calls == floor.calls) << what << ": other platform calls";
          failures += same ? 0 : 1;
        }
        std::free(s.src);
      }
    }
  }
}

}  // namespace
}  // namespace zim_test
