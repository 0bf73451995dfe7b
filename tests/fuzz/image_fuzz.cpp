// SPDX-License-Identifier: Apache-2.0
// The image reader over arbitrary bytes. Input: an image, sealed here (its
// checksum made right) so that the checks behind the checksum are reached.
// Aborts when a read image's views leave its bytes; ASan catches any read
// outside them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "image_format.hpp"

namespace {

bool inside(const void* p, uint64_t size, const std::vector<unsigned char>& bytes) {
  const auto* at = static_cast<const unsigned char*>(p);
  return at >= bytes.data() && size <= static_cast<uint64_t>(bytes.data() + bytes.size() - at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  zim_inspect::seal_image(&bytes);
  std::string why;
  const auto image = zim_inspect::read_image(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &why);
  if (!image) {
    if (why.empty()) std::abort();  // every refusal says why
    return 0;
  }
  for (const auto& l : image->layouts) {
    if (!inside(l.text, l.text_size, bytes)) std::abort();
  }
  for (const auto& o : image->objects) {
    if (!inside(o.bytes, o.size, bytes)) std::abort();
  }
  return 0;
}
