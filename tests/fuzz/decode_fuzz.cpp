// SPDX-License-Identifier: Apache-2.0
// The object decoder on arbitrary layouts and bytes. An input is N, the NPD
// size and a count for the byte map (32 bits each, host order), a manifest
// record without its leading "type 0 " (a catalogue of one type has id 0), a
// NUL, and the object's bytes.
// Whatever the manifest reader accepts, decode and the pool's checks must
// read only inside the object (an exactly sized heap copy), agree on the
// problems, print only printable text, and give JSON that parses back.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "decode.hpp"
#include "gen/manifest/manifest.hpp"
#include "object_map.hpp"
#include "render.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& record) {
  std::fprintf(stderr, "decode: %s\n---\n%s\n---\n", what, record.c_str());
  std::abort();
}

bool printable(unsigned char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t head[3];
  if (size < sizeof head) return 0;
  std::memcpy(head, data, sizeof head);
  data += sizeof head;
  size -= sizeof head;
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t text_size = nul ? static_cast<size_t>(nul - data) : size;
  const std::string record =
      "type 0 " + std::string(reinterpret_cast<const char*>(data), text_size);
  const size_t object_size = nul ? size - text_size - 1 : 0;
  // The object alone in its own allocation: ASan sees any read past it.
  const std::unique_ptr<unsigned char[]> object(new unsigned char[object_size]);
  if (object_size != 0) std::memcpy(object.get(), nul + 1, object_size);

  tablegen::Diagnostics diags;
  const auto layouts = tablegen::read_manifest("fuzz.manifest", record, diags);
  if (!layouts) return 0;
  const zim_inspect::Sizing sizing{head[0], head[1], 0};
  const zim_inspect::SpanSource bytes(object.get(), object_size);
  for (const zim_inspect::TypeLayout& t : *layouts) {
    std::ostringstream json, text;
    const bool consistent =
        zim_inspect::decode(t, bytes, sizing, *zim_inspect::object_writer(json, true));
    if (zim_inspect::decode(t, bytes, sizing, *zim_inspect::object_writer(text, false)) !=
        consistent) {
      fail("text and JSON differ", record);
    }
    const auto doc = zim_inspect::Json::parse(json.str(), nullptr, false);
    if (doc.is_discarded()) fail("JSON", record);
    const auto dumped = [](const zim_inspect::Json& j) {
      return j.dump(2, ' ', false, zim_inspect::Json::error_handler_t::replace);
    };
    // Streamed, the document is laid out as a whole one would be.
    if (dumped(doc) + "\n" != json.str()) fail("JSON layout", record);
    if (dumped(zim_inspect::check(t, bytes, sizing)) != dumped(doc["problems"])) {
      fail("check and decode differ", record);
    }
    if (doc["consistent"].get<bool>() != consistent) fail("consistent flag", record);
    const std::string printed = text.str();
    if (!std::all_of(printed.begin(), printed.end(), printable)) fail("text of decode", record);

    // The byte map for any count, as layout prints it.
    const zim_inspect::Sizing map_sizing{head[0], head[1], head[2]};
    zim_inspect::regions(t, map_sizing, zim_inspect::place(t, map_sizing));
  }
  return 0;
}
