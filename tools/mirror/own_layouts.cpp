// SPDX-License-Identifier: Apache-2.0
// A walk of the loaded objects' PT_NOTE segments.
#include "own_layouts.hpp"

#include <link.h>

#include <cstring>

#include "codec/layout_note.hpp"

namespace zim_mirror {
namespace {

uint32_t u32_at(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t padded(uint64_t n, uint64_t align) { return (n + align - 1) / align * align; }

void scan_segment(std::map<uint32_t, OwnLayout>& into, const unsigned char* p, uint64_t size,
                  uint64_t align) {
  constexpr auto& owner = zim_codec::kLayoutNoteOwner;
  for (uint64_t at = 0; size - at >= 12;) {
    const uint64_t namesz = u32_at(p + at), descsz = u32_at(p + at + 4);
    const uint32_t type = u32_at(p + at + 8);
    const uint64_t name_at = at + 12;
    if (padded(namesz, align) > size - name_at) return;
    const uint64_t desc_at = name_at + padded(namesz, align);
    if (padded(descsz, align) > size - desc_at) return;
    if (type == zim_codec::kLayoutNoteType && namesz == sizeof owner &&
        std::memcmp(p + name_at, owner, sizeof owner) == 0) {
      if (const auto note = zim_codec::read_layout_note(p + desc_at, descsz)) {
        into.emplace(note->table_id, OwnLayout{note->fingerprint, std::string(note->text)});
      }
    }
    at = desc_at + padded(descsz, align);
  }
}

int scan_object(dl_phdr_info* info, size_t, void* context) {
  auto& into = *static_cast<std::map<uint32_t, OwnLayout>*>(context);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
    scan_segment(into, p, ph.p_filesz, ph.p_align == 8 ? 8 : 4);
  }
  return 0;
}

}  // namespace

std::map<uint32_t, OwnLayout> own_layouts() {
  std::map<uint32_t, OwnLayout> layouts;
  dl_iterate_phdr(scan_object, &layouts);
  return layouts;
}

}  // namespace zim_mirror
