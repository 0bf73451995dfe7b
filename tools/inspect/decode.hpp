// SPDX-License-Identifier: Apache-2.0
// Checks the bytes of one object against its type and reads out every field,
// presence flag and array element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "object_map.hpp"

namespace zim_inspect {

using Json = nlohmann::ordered_json;

// One object's bytes from its first byte, where they lie: a pool's block, a
// mapped file, a buffer.
struct ByteSpan {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

struct Decoded {
  std::vector<std::string> problems;  // empty: the object is consistent
  Json view;                          // everything read, for the renderers
};

// "0x1f": how addresses and values are shown.
std::string hex(uint64_t value);

// The keys layout and decode share, in their order: type, table_id, class,
// npus, npd_size, then, with a placement, count and size.
void put_object_header(Json& doc, const TypeLayout& type, const Sizing& sizing,
                       const ObjectMap* map);

// `sizing` gives N and the NPD size; the count is read from the object.
// Neither reads outside `bytes`, whatever the layout and the bytes hold.
//
// The problems only: memory bounded by the layout, not by the object's
// element counts, for walks over every block of a pool.
std::vector<std::string> check(const TypeLayout& type, ByteSpan bytes, Sizing sizing);
// The same problems and a view of everything read, which grows with the
// object.
Decoded decode(const TypeLayout& type, ByteSpan bytes, Sizing sizing);

inline Decoded decode(const TypeLayout& type, const std::vector<unsigned char>& bytes,
                      Sizing sizing) {
  return decode(type, ByteSpan{bytes.data(), bytes.size()}, sizing);
}

}  // namespace zim_inspect
