// SPDX-License-Identifier: Apache-2.0
// The image of an object as a mirror reads it back from outside bytes: a
// round trip through another address, and every altered image refused.
#include <gtest/gtest.h>
#include <zim/tables/table_object.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gen/load/catalogue_loader.hpp"
#include "object_image.hpp"
#include "zim/tables/catalogue.hpp"
#include "zim/tables/platform.h"

namespace {

namespace cat = zim_tables::catalogue;
using zim_relay::Bytes;

// An object of the first counted type with a count of 5 (the case with the
// most pointers), and its image.
struct CountedObject {
  const cat::TableType* type = nullptr;
  zim_codec::TypeLayout layout;
  Bytes bytes, image;
  uint64_t address = 0;  // where it lay when its pointers were written
  zim_relay::ImageFrame frame;
  zim_objects::Sizing sizing;
  std::string why;

  CountedObject() {
    for (size_t i = 0; i < cat::type_count && type == nullptr; ++i) {
      if (cat::types[i].takes_count()) type = &cat::types[i];
    }
    tablegen::Diagnostics diags;
    const auto all =
        tablegen::load_layouts(ZIM_MANIFEST, diags).value_or(std::vector<zim_codec::TypeLayout>{});
    for (const auto& t : all) {
      if (t.table_id == type->table_id) layout = t;
    }
    auto* obj = static_cast<unsigned char*>(type->ops.srv_ctor(5));
    uint32_t size;
    std::memcpy(&size, obj + ZIM_OBJ_TOTAL_SIZE_OFFSET, 4);
    image = bytes = Bytes(obj, obj + size);
    address = reinterpret_cast<uintptr_t>(obj);
    std::free(obj);
    sizing = {hulcon_config_get_max_num_npus(), qor_npd_get_table_size(type->table_id), 0};
    EXPECT_TRUE(zim_relay::frame_object(layout, sizing, image, frame, why) &&
                zim_relay::to_image(layout, frame, image, why))
        << why;
  }
};

TEST(ObjectImage, MeansTheSameObjectAtAnotherAddress) {
  CountedObject o;
  Bytes back = o.image;
  ASSERT_TRUE(zim_relay::from_image(o.layout, o.frame, o.address, back, o.why)) << o.why;
  EXPECT_EQ(back, o.bytes);
  ASSERT_TRUE(zim_relay::from_image(o.layout, o.frame, o.address + 4096, back = o.image, o.why));
  EXPECT_NE(back, o.bytes);
}

TEST(ObjectImage, RefusesAlteredImages) {
  CountedObject o;
  const auto array = std::find_if(o.layout.fields.begin(), o.layout.fields.end(),
                                  [](const auto& f) { return f.is_array(); });
  ASSERT_NE(array, o.layout.fields.end());
  const struct {
    const char* name;
    uint64_t at, value;
    size_t width;
    bool framed;  // the frame holds; the pointers then do not
  } cases[] = {
      {"data offset moved", array->offset, 8, 8, true},
      {"flag offset past the end", array->flag_at, uint64_t{1} << 40, 8, true},
      {"count beyond the bytes", *o.layout.count_field, 1000, 4, false},
      {"total size disagrees", ZIM_OBJ_TOTAL_SIZE_OFFSET, 1, 4, false},
  };
  for (const auto& c : cases) {
    Bytes altered = o.image;
    std::memcpy(altered.data() + c.at, &c.value, c.width);
    zim_relay::ImageFrame f;
    const bool framed = zim_relay::frame_object(o.layout, o.sizing, altered, f, o.why);
    EXPECT_EQ(framed, c.framed) << c.name;
    if (framed) {
      EXPECT_FALSE(zim_relay::from_image(o.layout, f, 0x10000, altered, o.why)) << c.name;
    }
  }
}

}  // namespace
