// SPDX-License-Identifier: Apache-2.0
// The header accessors of every field of every type, through the catalogue:
// each writes exactly its field's bytes and flag where the layout places
// them, reads back what was written and what a copy holds, and refuses an
// index past the run or array before writing anything (the default preset
// builds with NDEBUG, which must not matter).
#include <gtest/gtest.h>

#include <cstdlib>

#include "object_model.hpp"

namespace zim_test {
namespace {

using zim_tables::catalogue::FieldItem;
using zim_tables::catalogue::ItemKind;

// Named as a report names it: field_<number> for an unnamed field.
std::string accessor(const RefType& t, const FieldItem& f, const std::string& what) {
  return "zim_" + t.name + "_" + what + "_" + (f.name[0] <= '9' ? "field_" : "") + f.name;
}

constexpr uint64_t kPastTheEnd = 0;  // no field's bytes lie at offset 0

// Every index of a field with its byte and flag offsets, as the layout places
// them, then the first index past its end.
template <typename Fn>
void each_element(const RefType& t, const ObjectLayout& l, Fn fn) {
  size_t array = 0;
  for (uint32_t k = 0; k < cat(t).field_count; ++k) {
    const FieldItem& f = cat(t).fields[k];
    const bool run = f.kind == ItemKind::kInlineRun;
    const PlacedArray* a = run ? nullptr : &l.arrays[array++];
    const uint64_t length = run ? f.repeat : a->length, data = run ? f.offset : a->data_at;
    for (uint32_t i = 0; i < length; ++i) {
      fn(f, i, data + uint64_t{f.width} * i, (run ? f.flag_at : a->flags_at) + i);
    }
    fn(f, static_cast<uint32_t>(length), kPastTheEnd, kPastTheEnd);
  }
}

TEST(Accessors, WriteExactlyTheirBytesReadThemBackAndCheckTheIndex) {
  std::mt19937 rng(11);
  for (const RefType& t : reference()) {
    for (const Combo& c : combos(t)) {
      if (c.npd != 7) continue;  // the NPD size moves the arrays, which the layout gives
      SCOPED_TRACE(describe(t, c));
      reset_platform(c.npus, c.npd);
      const ObjectLayout l = expected_layout(t, c.npus, c.npd, c.count);
      void* obj = cat(t).ops.srv_ctor(c.count);
      const Bytes base_header = snapshot(obj, ZIM_OBJ_BASE_HEADER_SIZE);
      scramble(obj, t, l, rng);  // noise in every flag and field, a sane base header
      std::memcpy(obj, base_header.data(), base_header.size());
      each_element(t, l, [&](const FieldItem& f, uint32_t i, uint64_t data, uint64_t flag) {
        const auto& a = f.access;
        Bytes image = snapshot(obj, l.size), value(f.width), got(f.width);
        for (auto& b : value) b = static_cast<unsigned char>(rng());
        if (data == kPastTheEnd) {  // each accessor reports under its name, writing nothing
          EXPECT_EQ(a.length(obj), i) << f.name;
          if (f.kind == ItemKind::kInlineRun && f.repeat == 1) return;  // takes no index
          for (const std::string what : {"get", "set", "has", "clear"}) {
            const auto report = capture_assert([&] {
              if (what == "get") a.get(obj, i, got.data());
              if (what == "set") a.set(obj, i, value.data());
              if (what == "has") (void)a.has(obj, i);
              if (what == "clear") a.clear(obj, i);
            });
            EXPECT_TRUE(report && report->assertion == "index < length" &&
                        report->function == accessor(t, f, what))
                << report_text(report);
          }
          EXPECT_EQ(first_difference(obj, image), "") << f.name;
          return;
        }
        EXPECT_EQ(a.has(obj, i), image[flag] != 0);
        a.set(obj, i, value.data());
        std::copy(value.begin(), value.end(), image.begin() + static_cast<ptrdiff_t>(data));
        image[flag] = 1;
        EXPECT_EQ(first_difference(obj, image), "") << "set " << f.name << '[' << i << ']';
        a.get(obj, i, got.data());
        EXPECT_TRUE(got == value && a.has(obj, i)) << f.name << '[' << i << ']';
        a.clear(obj, i);
        image[flag] = 0;
        EXPECT_EQ(first_difference(obj, image) + (a.has(obj, i) ? "has" : ""), "")
            << "clear " << f.name << '[' << i << ']';
        if (i % 2 == 0) a.set(obj, i, value.data());  // for the copy: some set, some clear
      });
      void* copy = cat(t).ops.copy_ctor(obj);
      each_element(t, l, [&](const FieldItem& f, uint32_t i, uint64_t data, uint64_t) {
        if (data == kPastTheEnd) return;
        Bytes src(f.width), dst(f.width);
        f.access.get(obj, i, src.data());
        f.access.get(copy, i, dst.data());
        EXPECT_TRUE(src == dst && f.access.has(copy, i) == (i % 2 == 0))
            << f.name << '[' << i << ']';
      });
      cat(t).ops.clnt_copy_dtor(copy);
      std::free(obj);
    }
  }
}

}  // namespace
}  // namespace zim_test
