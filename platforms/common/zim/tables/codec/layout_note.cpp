// SPDX-License-Identifier: Apache-2.0
#include "codec/layout_note.hpp"

#include <cstring>

#include "codec/limits.hpp"

namespace zim_codec {

std::optional<LayoutNote> read_layout_note(const unsigned char* desc, uint64_t size) noexcept {
  zim_tables_layout_note_t note;
  if (size < sizeof note) return std::nullopt;
  std::memcpy(&note, desc, sizeof note);
  if (note.version != ZIM_TABLES_LAYOUT_NOTE_VERSION || note.table_id > kMaxTableId ||
      note.text_size > size - sizeof note) {
    return std::nullopt;
  }
  return LayoutNote{
      note.table_id, uint64_t{note.fingerprint_hi} << 32 | note.fingerprint_lo,
      std::string_view(reinterpret_cast<const char*>(desc) + sizeof note, note.text_size)};
}

}  // namespace zim_codec
