// Checks the bytes of one object against its type and reads out every field,
// presence flag and array element.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "object_map.hpp"

namespace zim_inspect {

using json = nlohmann::ordered_json;

struct Decoded {
  std::vector<std::string> problems;  // empty: the object is consistent
  json view;                          // everything read, for the renderers
};

// "0x1f": how addresses and values are shown.
std::string hex(uint64_t value);

// `bytes` holds the object from its first byte; `sizing` gives N and the NPD
// size (its count is read from the object). Never reads outside `bytes`.
Decoded decode(const TypeLayout& type, const std::vector<unsigned char>& bytes, Sizing sizing);

}  // namespace zim_inspect
