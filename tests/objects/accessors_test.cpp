// SPDX-License-Identifier: Apache-2.0
// The header accessors of every field of every type, through the catalogue:
// each writes exactly its field's bytes and flag where the layout places
// them, reads back what was written and what a copy or a snapshot holds, and
// refuses an index past the run or array, a null object, an object of
// another type and an element outside the object before writing anything
// (the default preset builds with NDEBUG, which must not matter). Snapshots
// copy every byte and write none of their source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "object_model.hpp"

namespace zim_test {
namespace {

using zim_tables::catalogue::FieldItem;
using zim_tables::catalogue::ItemKind;

// Named as a report names it: field_<number> for an unnamed field.
std::string accessor(const RefType& t, const FieldItem& f, const std::string& what) {
  const std::string name = (f.name[0] <= '9' ? "field_" : "") + std::string(f.name);
  return "zim_" + t.name + "_" + (what == "length" ? name + "_length" : what + "_" + name);
}

constexpr uint64_t kPastTheEnd = 0;  // no field's bytes lie at offset 0

// Every index of a field with its byte and flag offsets, as the layout places
// them, then the first index past its end.
template <typename Fn>
void each_element(const RefType& t, const ObjectLayout& l, Fn fn) {
  size_t array = 0;
  for (uint32_t k = 0; k < cat(t).field_count; ++k) {
    const FieldItem& f = cat(t).fields[k];
    const bool run = f.kind == ItemKind::kInline;
    const PlacedArray* a = run ? nullptr : &l.arrays[array++];
    const uint64_t length = run ? f.run_length : a->length, data = run ? f.offset : a->data_at;
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
          if (f.kind == ItemKind::kInline && f.run_length == 1) return;  // takes no index
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
      const Bytes source = snapshot(obj, l.size);
      void* copy = cat(t).ops.copy_ctor(obj);
      void* snap = cat(t).snapshot(obj);
      Bytes expected_snap = source;
      write_pointers(expected_snap.data(), l, snap);
      EXPECT_EQ(first_difference(snap, expected_snap) + first_difference(obj, source), "");
      for (void* held : {copy, snap}) {
        each_element(t, l, [&](const FieldItem& f, uint32_t i, uint64_t data, uint64_t) {
          if (data == kPastTheEnd) return;
          Bytes src(f.width), dst(f.width);
          f.access.get(obj, i, src.data());
          f.access.get(held, i, dst.data());
          EXPECT_TRUE(src == dst && f.access.has(held, i) == (i % 2 == 0))
              << f.name << '[' << i << ']' << (held == snap ? " of the snapshot" : "");
        });
        cat(t).ops.clnt_copy_dtor(held);
      }
      std::free(obj);
    }
  }
}

// What no accessor or snapshot may touch. Each damage is made on a copy of a
// fresh object whose pointers still lead into the original, so an accessor
// without its check would write there instead of failing.
struct Damage {
  const char* what;
  void (*apply)(Bytes& obj, const RefType& t);
  bool null, arrays_only, counted_only;  // counted_only: types with counted arrays
  const char* element_report;            // "": the accessors pass the object on
  const char* snapshot_report;
};
const Damage kDamages[] = {
    {"null", [](Bytes&, const RefType&) {}, true, false, false, "obj != NULL", "obj != NULL"},
    {"another type's id",
     [](Bytes& b, const RefType& t) { put<uint16_t>(b.data(), ZIM_OBJ_TABLE_ID_OFFSET, t.id ^ 1); },
     false, false, false, "table id", "table id"},
    {"pointers of another block", [](Bytes&, const RefType&) {}, false, true, false, "inside obj",
     ""},
    {"count past the object",
     [](Bytes& b, const RefType& t) { put<uint32_t>(b.data(), t.count_field, UINT32_MAX); }, false,
     true, true, "inside obj", "total_obj_size == the size of its count, N and NPD size"},
    {"total_obj_size past the layout",
     [](Bytes& b, const RefType&) {
       put(b.data(), ZIM_OBJ_TOTAL_SIZE_OFFSET,
           get<uint32_t>(b.data(), ZIM_OBJ_TOTAL_SIZE_OFFSET) + 16);
     },
     false, false, false, "", "total_obj_size == the size of its count, N and NPD size"},
};

TEST(Accessors, RefuseObjectsThatAreNotTheirTypesOrElementsOutsideThem) {
  for (const RefType& t : reference()) {
    const Combo c = combos(t).back();
    reset_platform(c.npus, c.npd);
    void* original = cat(t).ops.srv_ctor(c.count);
    const Bytes fresh = snapshot(original, expected_layout(t, c.npus, c.npd, c.count).size);
    for (const Damage& d : kDamages) {
      const auto counted = [](const RefArray& a) { return !a.per_npu; };
      if (d.counted_only && std::none_of(t.arrays.begin(), t.arrays.end(), counted)) continue;
      SCOPED_TRACE(describe(t, c) + ", " + d.what);
      Bytes damaged = fresh;
      d.apply(damaged, t);
      const Bytes before = damaged;
      void* obj = d.null ? nullptr : damaged.data();
      const auto expect_report = [&](const std::string& function, const std::string& assertion,
                                     auto call) {
        const auto report = capture_assert([&] { call(); });
        EXPECT_TRUE(report && report->function == function &&
                    report->assertion.find(assertion) != std::string::npos)
            << function << ": " << report_text(report);
      };
      if (*d.snapshot_report) {
        // zim_<t>_snapshot is _snapshot_with_version without the version.
        expect_report("zim_" + t.name + "_snapshot_with_version", d.snapshot_report,
                      [&] { (void)cat(t).snapshot(obj); });
      }
      for (uint32_t k = 0; *d.element_report && k < cat(t).field_count; ++k) {
        const FieldItem& f = cat(t).fields[k];
        if (f.kind == ItemKind::kInline ? d.arrays_only
                                        : d.counted_only && f.kind != ItemKind::kCountedArray) {
          continue;
        }
        const uint32_t i = d.counted_only ? UINT32_MAX - 1 : 0;
        const auto& a = f.access;
        Bytes value(f.width);
        if (f.kind != ItemKind::kInline && !d.arrays_only) {
          expect_report(accessor(t, f, "length"), d.element_report, [&] { (void)a.length(obj); });
        }
        expect_report(accessor(t, f, "get"), d.element_report,
                      [&] { a.get(obj, i, value.data()); });
        expect_report(accessor(t, f, "set"), d.element_report,
                      [&] { a.set(obj, i, value.data()); });
        expect_report(accessor(t, f, "has"), d.element_report, [&] { (void)a.has(obj, i); });
        expect_report(accessor(t, f, "clear"), d.element_report, [&] { a.clear(obj, i); });
      }
      EXPECT_TRUE(damaged == before && first_difference(original, fresh).empty());
    }
    std::free(original);
  }
}

}  // namespace
}  // namespace zim_test
