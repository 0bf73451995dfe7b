// SPDX-License-Identifier: Apache-2.0
// What a mirror reads from Redis, over arbitrary bytes: a stream entry (its
// id and fields, as a reply tree) or an objects hash's field and value, and
// the image either carries checked against one of the catalogue's layouts
// and given its pointers back, as the mirror does before anything enters
// its pool. Aborts when a refusal says nothing or an accepted change breaks
// what the reader promises; ASan catches any read outside the bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/layout_record.hpp"
#include "object_image.hpp"
#include "stream_entry.hpp"

namespace {

using zim_mirror::Change;
using zim_mirror::Reply;

const std::vector<zim_codec::TypeLayout>& catalogue() {
  static const std::vector<zim_codec::TypeLayout> layouts = [] {
    std::ifstream in(ZIM_CATALOGUE_MANIFEST);
    std::stringstream text;
    text << in.rdbuf();
    auto read =
        zim_codec::read_layouts(ZIM_CATALOGUE_MANIFEST, text.str(), [](int, const std::string&) {});
    if (!read || read->empty()) std::abort();  // the build's own manifest reads
    return *read;
  }();
  return layouts;
}

Reply string_reply(std::string text) {
  Reply r;
  r.kind = Reply::kString;
  r.text = std::move(text);
  return r;
}

// [id, [name, value, ...]], now and then with an element of another kind.
Reply entry_reply(FuzzedDataProvider& in) {
  Reply entry, fields;
  entry.kind = fields.kind = Reply::kArray;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 5);
  for (size_t i = 0; i < count; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
      Reply other;
      other.kind = Reply::kInteger;
      fields.items.push_back(other);
      continue;
    }
    fields.items.push_back(string_reply(in.ConsumeRandomLengthString(i % 2 == 0 ? 16 : 4096)));
  }
  entry.items = {string_reply(in.ConsumeRandomLengthString(48)), fields};
  return entry;
}

// The mirror's checks of an image before it lays the object out.
void lay_out(const Change& c, const zim_codec::TypeLayout& layout) {
  zim_relay::Bytes image = c.image;
  zim_relay::ImageFrame frame;
  std::string why;
  const zim_objects::Sizing sizing{c.npus, c.npd_size, 0};
  if (!zim_relay::frame_object(layout, sizing, image, frame, why)) {
    if (why.empty()) std::abort();
    return;
  }
  if (frame.end > image.size()) std::abort();  // a frame past the bytes it was given
  image.resize(frame.end);
  if (!zim_relay::from_image(layout, frame, 0x100000, image, why) && why.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const auto& layouts = catalogue();
  const auto& layout = layouts[in.ConsumeIntegralInRange<size_t>(0, layouts.size() - 1)];
  Change c;
  std::string why;
  bool read = false;
  if (in.ConsumeBool()) {
    zim_mirror::StreamId id;
    read = zim_mirror::read_entry(entry_reply(in), id, c, why);
    if (read && (c.pool_id == 0 || c.epoch == 0 || c.kind > zim_relay::Publication::unindexed))
      std::abort();
  } else {
    const std::string field = in.ConsumeRandomLengthString(24);
    read = zim_mirror::read_object_value(layout.table_id, field, in.ConsumeRemainingBytesAsString(),
                                         c, why);
    if (read && c.pool_id == 0) std::abort();
  }
  if (!read) {
    if (why.empty()) std::abort();  // every refusal says why
    return 0;
  }
  if (c.kind == zim_relay::Publication::object) lay_out(c, layout);
  return 0;
}
