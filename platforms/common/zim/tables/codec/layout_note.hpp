// SPDX-License-Identifier: Apache-2.0
// The layout note as a reader of loaded objects finds it: the descriptor of
// an ELF note of owner ZIM_TABLES_LAYOUT_NOTE_OWNER and type
// ZIM_TABLES_LAYOUT_NOTE_TYPE (zim/tables/layout_note.h), which the type
// headers write. Its bytes come from whatever objects a program loaded.
#pragma once

#include <zim/tables/layout_note.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace zim_codec {

inline constexpr char kLayoutNoteOwner[] = ZIM_TABLES_LAYOUT_NOTE_OWNER;
inline constexpr uint32_t kLayoutNoteType = ZIM_TABLES_LAYOUT_NOTE_TYPE;

// What one note states: a table id's fingerprint and layout record, the
// record's text pointing into the descriptor.
struct LayoutNote {
  uint32_t table_id;
  uint64_t fingerprint;
  std::string_view text;
};

// The note whose descriptor is the `size` bytes at desc; nothing for a note
// of another version, a table id past the largest or text past the
// descriptor. The text is not read: the handshake compares it only when
// fingerprints differ (read_layout_record).
std::optional<LayoutNote> read_layout_note(const unsigned char* desc, uint64_t size) noexcept;

}  // namespace zim_codec
