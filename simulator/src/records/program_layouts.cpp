// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the layout notes of the loaded objects. Each generated type
// header puts one note per type and layout into every object compiled with
// it, in a PT_NOTE segment; the scan reads them through dl_iterate_phdr.
// Their bytes come from whatever objects the program loaded: every size is
// checked against the segment, and a note that does not parse is skipped.

#include "records/program_layouts.hpp"

#include <elf.h>
#include <link.h>
#include <zim/tables/layout_note.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "codec/layout_note.hpp"
#include "codec/record_difference.hpp"
#include "platform/env.hpp"

namespace zim_sim {

namespace {

using zim_codec::kLayoutNoteOwner;

uint32_t u32_at(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr uint64_t padded(uint64_t n, uint64_t align) { return (n + align - 1) / align * align; }

// Whether [vaddr, vaddr + size) lies in a loaded segment of the object: only
// then are its bytes mapped.
bool loaded(const dl_phdr_info* info, uint64_t vaddr, uint64_t size) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && vaddr >= ph.p_vaddr && vaddr - ph.p_vaddr <= ph.p_filesz &&
        size <= ph.p_filesz - (vaddr - ph.p_vaddr)) {
      return true;
    }
  }
  return false;
}

void add_note(ProgramLayouts* layouts, const char* object, const unsigned char* desc,
              uint64_t size) {
  const std::optional<zim_codec::LayoutNote> note = zim_codec::read_layout_note(desc, size);
  if (!note) return;
  const uint64_t fingerprint = note->fingerprint;
  const std::string_view text = note->text;
  const std::string name = object != nullptr && object[0] != '\0' ? object : "the program";
  const auto [it, fresh] = layouts->by_id.try_emplace(note->table_id);
  NoteLayout& have = it->second;
  if (fresh) {
    have = {fingerprint, std::string(text), name, {}, size_rule_of(text)};
  } else if (have.fingerprint != fingerprint && have.conflict.empty()) {
    char line[64];
    std::snprintf(line, sizeof line, " (table id %" PRIu32 ")", note->table_id);
    have.conflict = "type " + record_type_name(have.text) + line +
                    " has two layouts in this program, in " + printable(have.object) + " and in " +
                    printable(name) + ": " +
                    layout_difference(have.text, text, {"the first's objects", "the second's"});
  }
}

// The notes of one PT_NOTE segment of `size` bytes at p, entries aligned to `align`.
void scan_segment(ProgramLayouts* layouts, const char* object, const unsigned char* p,
                  uint64_t size, uint64_t align) {
  for (uint64_t at = 0; size - at >= 12;) {
    const uint64_t namesz = u32_at(p + at), descsz = u32_at(p + at + 4);
    const uint32_t type = u32_at(p + at + 8);
    const uint64_t name_at = at + 12;
    if (padded(namesz, align) > size - name_at) return;
    const uint64_t desc_at = name_at + padded(namesz, align);
    if (padded(descsz, align) > size - desc_at) return;
    if (type == zim_codec::kLayoutNoteType && namesz == sizeof kLayoutNoteOwner &&
        std::memcmp(p + name_at, kLayoutNoteOwner, sizeof kLayoutNoteOwner) == 0) {
      add_note(layouts, object, p + desc_at, descsz);
    }
    at = desc_at + padded(descsz, align);
  }
}

int scan_object(dl_phdr_info* info, size_t, void* context) {
  auto* layouts = static_cast<ProgramLayouts*>(context);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE || !loaded(info, ph.p_vaddr, ph.p_filesz)) continue;
    const auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
    scan_segment(layouts, info->dlpi_name, p, ph.p_filesz, ph.p_align == 8 ? 8 : 4);
  }
  return 0;
}

struct LoadCounts {
  unsigned long long adds = 0, subs = 0;
  bool operator==(const LoadCounts& o) const { return adds == o.adds && subs == o.subs; }
};

LoadCounts load_counts() {
  LoadCounts counts;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t size, void* context) {
        // Older loaders leave the counts out of what they hand over.
        if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
          *static_cast<LoadCounts*>(context) = {info->dlpi_adds, info->dlpi_subs};
        }
        return 1;
      },
      &counts);
  return counts;
}

std::mutex g_scan_mutex;
std::shared_ptr<const ProgramLayouts> g_layouts;
LoadCounts g_counts;
// g_counts and the serial of g_layouts, for readers without the mutex; 0 while
// no scan has counts to compare.
std::atomic<unsigned long long> g_seen_adds{0}, g_seen_subs{0};
std::atomic<uint64_t> g_seen_serial{0};

}  // namespace

std::shared_ptr<const ProgramLayouts> program_layouts() {
  const LoadCounts counts = load_counts();
  std::lock_guard<std::mutex> guard(g_scan_mutex);
  if (g_layouts == nullptr || !(counts == g_counts) || (counts.adds == 0 && counts.subs == 0)) {
    auto layouts = std::make_shared<ProgramLayouts>();
    dl_iterate_phdr(scan_object, layouts.get());
    layouts->serial = g_layouts != nullptr ? g_layouts->serial + 1 : 1;
    g_seen_serial.store(0);
    g_seen_adds.store(counts.adds);
    g_seen_subs.store(counts.subs);
    if (counts.adds != 0 || counts.subs != 0) g_seen_serial.store(layouts->serial);
    g_layouts = std::move(layouts);
    g_counts = counts;
  }
  return g_layouts;
}

bool loaded_objects_unchanged(uint64_t serial) {
  const LoadCounts counts = load_counts();
  const uint64_t seen = g_seen_serial.load();
  return seen != 0 && seen == serial && counts.adds == g_seen_adds.load() &&
         counts.subs == g_seen_subs.load() && g_seen_serial.load() == seen;
}

std::string record_type_name(std::string_view text) {
  // "type ID NAME\n"
  const size_t eol = text.find('\n');
  std::string_view line = text.substr(0, eol == std::string_view::npos ? text.size() : eol);
  const size_t space = line.rfind(' ');
  if (space != std::string_view::npos) line.remove_prefix(space + 1);
  if (line.size() > 128) line = line.substr(0, 128);
  return line.empty() ? std::string("(unnamed)") : printable(line);
}

std::string layout_difference(std::string_view older, std::string_view newer,
                              const zim_codec::RecordSides& sides) {
  const std::string difference = zim_codec::first_breaking_difference(older, newer, sides);
  // Equal fingerprints mean no breaking difference; unequal ones name one. A
  // difference names at most two fields and its rule, well within 400 bytes.
  return difference.empty() ? "the layout records differ" : printable(difference, 400);
}

}  // namespace zim_sim
