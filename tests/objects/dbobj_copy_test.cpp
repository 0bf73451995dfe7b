// SPDX-License-Identifier: Apache-2.0
// read_dbobj's copies. Between two objects laid out alike, at lengths the
// operations corpus does not reach: around every bound where the copy of an
// array or of a packed dynamic area changes its way (inline moves of 1 to 32
// bytes, and up to 64 where the count bounds every array; memcpy; stretches
// between flags; the ordered copy past 8 KiB). The bounded inline copy also
// for element sizes no type of the catalogue takes that way. The ordered copy
// behind the packed path moves exactly the area it is given, and every
// store's new bytes lie in one cache line above every byte stored before
// them: every length around its chunk sizes, at every position of the
// destination in a cache line and with the source at another. The planned
// stores of the inline fields, for every type of the catalogue: they store
// exactly the fields and their presence flags, and each flag for the first
// time only after a fence that follows every store of its field's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "object_model.hpp"
#include "table_ops.hpp"
#include "zim/tables/catalogue.hpp"

namespace zim_test {
namespace {

TEST(ArrayCopies, MoveExactlyTheModelsBytesAtEveryLengthBound) {
  constexpr uint32_t kNpd = 8;
  // Every N up to 33 and around 64 where per-NPU arrays share their tests of
  // N: each bound of its classes (a power of two and one past it).
  std::vector<uint32_t> every_npus = {64, 65};
  for (uint32_t n = 0; n <= 33; ++n) every_npus.push_back(n);
  const std::vector<uint32_t> npus_tried = {0, 1, 3, 17, 33};
  const std::vector<uint32_t> counts_tried = {2, 3, 5, 8, 9, 16, 17, 33, 64, 65, 100, 700};
  const std::vector<uint32_t> no_count = {0};
  std::minstd_rand rng(29);
  for (const RefType& t : reference()) {
    if (t.arrays.empty()) continue;
    const bool per_npu =
        std::any_of(t.arrays.begin(), t.arrays.end(), [](const RefArray& a) { return a.per_npu; });
    for (const uint32_t npus : per_npu ? every_npus : npus_tried) {
      for (const uint32_t count : t.count_field != 0 ? counts_tried : no_count) {
        const Combo c{npus, kNpd, count};
        SCOPED_TRACE(describe(t, c));
        reset_platform(c.npus, c.npd);
        const ObjectLayout l = expected_layout(t, c.npus, c.npd, c.count);
        void* src = cat(t).ops.srv_ctor(c.count);
        void* dst = cat(t).ops.srv_ctor(c.count);
        scramble(src, t, l, rng);
        auto* d = static_cast<unsigned char*>(dst);
        Bytes want(d, d + l.size);
        copy_data(want, t, src, l);
        cat(t).ops.read_dbobj(src, dst);
        EXPECT_EQ(Bytes(d, d + l.size), want);
        std::free(src);
        std::free(dst);
      }
    }
  }
}

// Every count up to the bound, between guard bytes that must stay.
template <uint32_t E>
void expect_bounded_copies_exact() {
  constexpr size_t kGuard = 16, kBound = zim_tables::kBoundedArrayBytes;
  unsigned char from[kBound], to[kGuard + kBound + kGuard];
  for (size_t i = 0; i < kBound; ++i) from[i] = static_cast<unsigned char>(i * 13 + E);
  for (uint64_t n = 0; n * E <= kBound; ++n) {
    std::memset(to, 0xa5, sizeof to);
    zim_tables::copy_elements<zim_tables::array_moves::bounded, E>(to + kGuard, from, n);
    for (size_t i = 0; i < sizeof to; ++i) {
      const bool inside = i >= kGuard && i < kGuard + n * E;
      ASSERT_EQ(to[i], inside ? from[i - kGuard] : 0xa5) << E << "-byte elements, " << n;
    }
  }
}

TEST(ArrayCopies, BoundedInlineCopiesMoveExactlyTheirElements) {
  expect_bounded_copies_exact<1>();
  expect_bounded_copies_exact<3>();
  expect_bounded_copies_exact<4>();
  expect_bounded_copies_exact<12>();
  expect_bounded_copies_exact<24>();
  expect_bounded_copies_exact<32>();
}

struct Store {
  uintptr_t at;
  size_t width;
};

// Makes each move and records where it stored.
struct RecordedMoves {
  std::vector<Store>* stores;
  template <size_t Width>
  void move(unsigned char* to, const unsigned char* from) const {
    zim_tables::move_ordered<Width>(to, from);
    stores->push_back({reinterpret_cast<uintptr_t>(to), Width});
  }
};

// "" when each store's bytes not stored before lie in one line, above all
// stored before, and the stores cover [begin, end) and nothing else.
std::string order_fault(const std::vector<Store>& stores, uintptr_t begin, uintptr_t end) {
  uintptr_t stored_to = begin;  // [begin, stored_to) is stored
  for (const Store& s : stores) {
    if (s.at < begin || s.at + s.width > end) return "a store outside the area";
    if (s.at > stored_to) return "a gap below a store";
    if (s.at + s.width <= stored_to) continue;  // the same values again
    if (stored_to / 64 != (s.at + s.width - 1) / 64) return "new bytes on two cache lines";
    stored_to = s.at + s.width;
  }
  return stored_to == end ? "" : "bytes left out";
}

TEST(OrderedCopy, StoresExactlyTheAreaInAscendingOrderOneLineAtATime) {
  constexpr size_t kGuard = 64, kMaxBytes = 300;
  alignas(64) static unsigned char src[kGuard + kMaxBytes + 2 * kGuard];
  alignas(64) static unsigned char dst[sizeof src];
  std::vector<Store> stores;
  for (size_t bytes = 0; bytes <= kMaxBytes; ++bytes) {
    for (size_t offset = 0; offset < 64; ++offset) {
      const size_t from = kGuard + (offset * 5 + 3) % 64, to = kGuard + offset;
      for (size_t i = 0; i < sizeof src; ++i) {
        src[i] = static_cast<unsigned char>(i * 7 + bytes);
        dst[i] = 0xa5;
      }
      stores.clear();
      zim_tables::copy_ascending_by(RecordedMoves{&stores}, dst + to, src + from, bytes);
      const auto begin = reinterpret_cast<uintptr_t>(dst + to);
      ASSERT_EQ(order_fault(stores, begin, begin + bytes), "")
          << bytes << " bytes to offset " << offset;
      zim_tables::copy_ascending(dst + to, src + from, bytes);
      for (size_t i = 0; i < sizeof dst; ++i) {
        const bool inside = i >= to && i < to + bytes;
        const unsigned char want = inside ? src[from + (i - to)] : 0xa5;
        ASSERT_EQ(dst[i], want) << bytes << " bytes to offset " << offset << ", byte " << i;
      }
    }
  }
}

}  // namespace
}  // namespace zim_test

namespace {

namespace cat = zim_tables::catalogue;
using zim_tables::field_span;

// The spans as the generator groups them: adjacent inline items whose bytes
// and flags both run on.
std::vector<field_span> spans_of(const cat::TableType& t) {
  std::vector<field_span> spans;
  for (uint32_t i = 0; i < t.field_count; ++i) {
    const cat::FieldItem& f = t.fields[i];
    if (f.is_array()) continue;
    const uint32_t bytes = f.width * f.run_length;
    if (!spans.empty() && spans.back().offset + spans.back().bytes == f.offset &&
        spans.back().flag_offset + spans.back().flags == f.flag_at) {
      spans.back().bytes += bytes;
      spans.back().flags += f.run_length;
    } else {
      spans.push_back({f.offset, bytes, f.flag_at, f.run_length});
    }
  }
  return spans;
}

constexpr size_t kMaxSpans = 128;
using Plan = zim_tables::copy_plan<zim_tables::plan_capacity(kMaxSpans)>;

// "" when the plan stores every byte of the spans and of their flags and no
// other, and no flag of a span for the first time before a fence that
// follows the first store of each of the span's bytes.
std::string plan_fault(const std::vector<field_span>& spans, const Plan& plan) {
  constexpr size_t kNever = SIZE_MAX;
  std::vector<int> span_of, flag_of;  // per byte: whose field or flag it is
  const auto mark = [](std::vector<int>& of, uint32_t at, uint32_t bytes, int owner) {
    if (of.size() < at + bytes) of.resize(at + bytes, -1);
    for (uint32_t b = at; b < at + bytes; ++b) of[b] = owner;
  };
  for (size_t i = 0; i < spans.size(); ++i) {
    mark(span_of, spans[i].offset, spans[i].bytes, static_cast<int>(i));
    mark(flag_of, spans[i].flag_offset, spans[i].flags, static_cast<int>(i));
  }
  const size_t size = std::max(span_of.size(), flag_of.size());
  span_of.resize(size, -1);
  flag_of.resize(size, -1);
  std::vector<size_t> first_store(size, kNever);
  // fenced_before[s]: the number of steps up to the last fence before step s.
  std::vector<size_t> fenced_before(plan.count + 1, 0);
  for (size_t s = 0; s < plan.count; ++s) {
    const zim_tables::copy_step& step = plan.steps[s];
    fenced_before[s + 1] = step.fence_after ? s + 1 : fenced_before[s];
    for (uint64_t at = step.offset; at < uint64_t{step.offset} + step.bytes; ++at) {
      if (at >= size || (span_of[at] < 0 && flag_of[at] < 0)) {
        return "step " + std::to_string(s) + " stores byte " + std::to_string(at);
      }
      if (first_store[at] == kNever) first_store[at] = s;
    }
  }
  std::vector<size_t> bytes_done(spans.size(), 0), flags_begin(spans.size(), kNever);
  for (size_t at = 0; at < size; ++at) {
    if (span_of[at] < 0 && flag_of[at] < 0) continue;
    if (first_store[at] == kNever) return "byte " + std::to_string(at) + " left out";
    if (span_of[at] >= 0) {
      bytes_done[span_of[at]] = std::max(bytes_done[span_of[at]], first_store[at]);
    } else {
      flags_begin[flag_of[at]] = std::min(flags_begin[flag_of[at]], first_store[at]);
    }
  }
  for (size_t i = 0; i < spans.size(); ++i) {
    if (fenced_before[flags_begin[i]] <= bytes_done[i]) {
      return "a flag of span " + std::to_string(i) + " with no fence after its bytes";
    }
  }
  return "";
}

Plan plan_of(const std::vector<field_span>& spans) {
  return zim_tables::plan_field_copy<Plan{}.steps.size()>(spans.data(), spans.size());
}

size_t fences_of(const Plan& plan) {
  size_t fences = 0;
  for (size_t s = 0; s < plan.count; ++s) fences += plan.steps[s].fence_after;
  return fences;
}

TEST(FieldPlan, StoresEveryFieldThenAFenceThenItsFlagAndNothingElse) {
  size_t joined = 0;
  for (size_t i = 0; i < cat::type_count; ++i) {
    const std::vector<field_span> spans = spans_of(cat::types[i]);
    ASSERT_LE(spans.size(), kMaxSpans) << cat::types[i].name;
    const Plan plan = plan_of(spans);
    EXPECT_EQ(plan_fault(spans, plan), "") << cat::types[i].name;
    // Only a region joined across a span and the flags fences every move.
    joined += fences_of(plan) > 1;
  }
  // Both plans of a span next to the flags are in use.
  EXPECT_GT(joined, 0u);
  EXPECT_LT(joined, cat::type_count);
}

// Layouts the catalogue does not have: spans of every width around the move
// sizes, gaps of 1 to 7 bytes, arrays' pointer slots between spans and
// between flag runs, the last item inline or an array.
TEST(FieldPlan, HoldsOnEveryShapeOfLayout) {
  static constexpr uint32_t kWidths[] = {1,  2,  3,  4,  5,  6,  7,  8,   9,   12,  13,  15,
                                         16, 17, 24, 31, 32, 33, 48, 100, 240, 255, 256, 300};
  std::mt19937 rng(29);
  for (int layout = 0; layout < 20000; ++layout) {
    std::vector<field_span> spans;
    std::vector<bool> array_before;  // an array's pointers come before span i
    const size_t items = 1 + rng() % 6;
    uint32_t at = 200 + rng() % 8;
    bool array_last = false;
    for (size_t k = 0; k < items; ++k) {
      array_last = !spans.empty() && rng() % 4 == 0;
      if (array_last) {
        at = (at + 7) / 8 * 8 + 8;
        if (k + 1 == items) break;
      }
      const uint32_t bytes = kWidths[rng() % std::size(kWidths)];
      spans.push_back({at, bytes, 0, 1 + static_cast<uint32_t>(rng() % std::min(bytes, 9u))});
      array_before.push_back(array_last);
      at += bytes + 1 + rng() % 7;
      array_last = false;
    }
    // Flags from the end of the last item on: no gap after an inline field.
    const field_span& last = spans.back();
    uint32_t flag = array_last ? at : last.offset + last.bytes;
    for (size_t i = 0; i < spans.size(); ++i) {
      if (array_before[i]) flag = (flag + 7) / 8 * 8 + 8;
      spans[i].flag_offset = flag;
      flag += spans[i].flags;
    }
    const Plan plan = plan_of(spans);
    ASSERT_EQ(plan_fault(spans, plan), "") << "layout " << layout;
  }
}
}  // namespace
