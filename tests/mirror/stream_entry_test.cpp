// SPDX-License-Identifier: Apache-2.0
// What the mirror reads from Redis is outside bytes: stream entries, hash
// values and layout records that do not hold what they must are refused,
// and a source layout other than this build's stops its type with the
// difference named.
#include "stream_entry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "layout_book.hpp"

namespace {

using zim_mirror::Change;
using zim_mirror::Reply;
using zim_mirror::StreamId;

Reply text(const std::string& s) {
  Reply r;
  r.kind = Reply::kString;
  r.text = s;
  return r;
}

Reply entry(const std::string& id, const std::vector<std::string>& fields) {
  Reply r, f;
  r.kind = f.kind = Reply::kArray;
  for (const std::string& s : fields) f.items.push_back(text(s));
  r.items = {text(id), f};
  return r;
}

std::string le(uint64_t value, size_t bytes) {
  std::string out;
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  return out;
}

struct Head {
  uint64_t kind = 0, table_id = 3, epoch = 0xab, pool_id = 7, version = 42, key = 0;
  std::string bytes() const {
    return le(kind, 4) + le(table_id, 4) + le(epoch, 8) + le(pool_id, 8) + le(version, 8) +
           le(key, 8);
  }
};

std::string object_value(uint64_t version) {
  return le(version, 8) + le(0xab, 8) + le(8, 4) + le(16, 4) + std::string("\0\1", 2);
}

std::vector<std::string> fields(const Head& h, const std::string& object = object_value(42)) {
  return {"head", h.bytes(), "object", object};
}

TEST(MirrorInput, EntriesReadWhole) {
  StreamId id;
  Change c;
  std::string why;
  ASSERT_TRUE(zim_mirror::read_entry(entry("5-1", fields(Head{})), id, c, why)) << why;
  EXPECT_TRUE(id == (StreamId{5, 1}));
  EXPECT_EQ(c.kind, zim_relay::Publication::object);
  EXPECT_EQ(c.epoch, 0xabu);
  EXPECT_EQ(c.pool_id, 7u);
  EXPECT_EQ(c.version, 42u);
  EXPECT_EQ(c.table_id, 3u);
  EXPECT_EQ(c.fingerprint, 0xabu);
  EXPECT_EQ(c.npus, 8u);
  EXPECT_EQ(c.npd_size, 16u);
  EXPECT_EQ(c.image, (zim_mirror::Bytes{0, 1}));
  // An index change, read into the same change: nothing of the object stays.
  Head keyed;
  keyed.kind = zim_relay::Publication::indexed;
  keyed.key = 99;
  std::vector<std::string> index_fields{"head", keyed.bytes(), "later", "ignored"};
  ASSERT_TRUE(zim_mirror::read_entry(entry("5-2", index_fields), id, c, why)) << why;
  EXPECT_EQ(c.kind, zim_relay::Publication::indexed);
  EXPECT_EQ(c.key, 99u);
  EXPECT_TRUE(c.image.empty());
  EXPECT_EQ(c.fingerprint, 0u);
}

TEST(MirrorInput, EntriesThatDoNotHoldWhatTheyMustAreRefused) {
  const auto head_with = [](auto change) {
    Head h;
    change(h);
    return h;
  };
  const Head retired = head_with([](Head& h) { h.kind = zim_relay::Publication::retired; });
  std::vector<std::string> odd = fields(Head{});
  odd.pop_back();
  const struct {
    const char* name;
    std::string id;
    std::vector<std::string> fields;
  } cases[] = {
      {"an unknown kind", "1-1", fields(head_with([](Head& h) { h.kind = 4; }))},
      {"a kind with high bytes", "1-1", fields(head_with([](Head& h) { h.kind = 1u << 8; }))},
      {"pool id 0", "1-1", fields(head_with([](Head& h) { h.pool_id = 0; }))},
      {"a local pool id", "1-1", fields(head_with([](Head& h) { h.pool_id = uint64_t{1} << 63; }))},
      {"epoch 0", "1-1", fields(head_with([](Head& h) { h.epoch = 0; }))},
      {"a table id past the largest", "1-1",
       fields(head_with([](Head& h) { h.table_id = 65536; }))},
      {"a key on an object", "1-1", fields(head_with([](Head& h) { h.key = 5; }))},
      {"a short head", "1-1", {"head", Head{}.bytes().substr(1), "object", object_value(42)}},
      {"a long head", "1-1", {"head", Head{}.bytes() + "x", "object", object_value(42)}},
      {"no head", "1-1", {"object", object_value(42)}},
      {"no object", "1-1", {"head", Head{}.bytes()}},
      {"an object on a retirement", "1-1", fields(retired)},
      {"versions that disagree", "1-1", fields(Head{}, object_value(44))},
      {"an object shorter than its head", "1-1", fields(Head{}, object_value(42).substr(0, 23))},
      {"a field without a value", "1-1", odd},
      {"no id", "1", fields(Head{})},
      {"an id of another shape", "01-1", fields(Head{})},
  };
  for (const auto& c : cases) {
    StreamId id;
    Change change;
    std::string why;
    EXPECT_FALSE(zim_mirror::read_entry(entry(c.id, c.fields), id, change, why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
}

TEST(MirrorInput, HashValuesAreReadByTheirHead) {
  std::string value(24, '\0');
  value[0] = 2;    // version
  value[16] = 8;   // N
  value[20] = 16;  // NPD size
  value += "img";
  Change c;
  std::string why;
  ASSERT_TRUE(zim_mirror::read_object_value(3, "9", value, c, why)) << why;
  EXPECT_EQ(c.pool_id, 9u);
  EXPECT_EQ(c.version, 2u);
  EXPECT_EQ(c.npus, 8u);
  EXPECT_EQ(c.npd_size, 16u);
  EXPECT_EQ(std::string(c.image.begin(), c.image.end()), "img");
  EXPECT_FALSE(zim_mirror::read_object_value(3, "9", value.substr(0, 23), c, why));
  EXPECT_FALSE(zim_mirror::read_object_value(3, "x9", value, c, why));
  EXPECT_FALSE(zim_mirror::read_object_value(3, "0", value, c, why));
}

// This build's own layout of a table id is usable; another layout of it
// converts into this build's when the converter carries the change, and
// stops the type, naming the difference, when it does not; a record that
// does not read, or of another table id, stops it too.
TEST(MirrorInput, SourceLayoutsAreHeldAgainstThisBuilds) {
  const auto layouts = zim_sim::program_layouts();  // held: a scan may replace it
  const auto& own = layouts->by_id;
  ASSERT_FALSE(own.empty()) << "the test carries no layout notes";
  // The lowest table id: its type has a field that the narrowing case can halve.
  const auto& [table_id, layout] = *std::min_element(
      own.begin(), own.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  zim_mirror::LayoutBook book;
  const auto& same = book.learn(layout.fingerprint, table_id, layout.text, 8, 16);
  EXPECT_TRUE(same.layout.has_value() && !same.upgrade) << same.stopped;

  using Edit = void (*)(zim_codec::TypeLayout&);
  struct Case {
    const char* name;
    Edit edit;
    bool converts;
  };
  const std::vector<Case> cases{
      {"what its constructors write",
       [](zim_codec::TypeLayout& t) { t.sets_obj_flags_bit5 = !t.sets_obj_flags_bit5; }, true},
      {"a field narrowed",
       [](zim_codec::TypeLayout& t) {
         for (auto& f : t.fields) {
           if (f.kind == zim_codec::ItemKind::kInline && f.run_length == 1 &&
               (f.width == 4 || f.width == 8)) {  // a gap alignment allows
             f.width /= 2;
             return;
           }
         }
       },
       false},
  };
  for (const Case& c : cases) {
    auto other = zim_codec::read_layout_record(layout.text);
    ASSERT_TRUE(other.has_value());
    c.edit(*other);
    const std::string other_text = zim_codec::layout_record(*other);
    std::string why;
    const auto reread = zim_codec::read_layout_record(other_text, &why);
    ASSERT_TRUE(reread.has_value()) << c.name << ": " << why;
    const auto& known =
        book.learn(zim_codec::layout_fingerprint(*reread), table_id, other_text, 8, 16);
    EXPECT_EQ(known.upgrade != nullptr, c.converts) << c.name << ": " << known.stopped;
    EXPECT_EQ(known.layout.has_value(), c.converts) << c.name;
    EXPECT_EQ(known.stopped.find("laid out otherwise") != std::string::npos, !c.converts)
        << c.name << ": " << known.stopped;
  }
  EXPECT_FALSE(book.learn(1, table_id, "not a record", 8, 16).layout.has_value());
  EXPECT_FALSE(
      book.learn(layout.fingerprint + 1, table_id + 1, layout.text, 8, 16).layout.has_value());
}

}  // namespace
