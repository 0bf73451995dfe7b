// SPDX-License-Identifier: Apache-2.0
// The runtime's layout library on arbitrary bytes: its reader of layout
// records and manifests, the comparison the pool's handshake names, and the
// checks of the pool's records. Whatever the reader accepts lies inside its
// fixed size and re-reads to itself from the text the writer gives it; what
// the generator's stricter reader accepts, it accepts with the same
// fingerprints; the pool's record checks never pass a count its block cannot
// hold. Input holding "\n=====\n" is two records, compared as old and new.
// Anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/pool_records.hpp"
#include "codec/record_difference.hpp"
#include "gen/manifest/manifest.hpp"

namespace {

using zim_codec::TypeLayout;

[[noreturn]] void fail(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "layout codec: %s\n---\n%s\n---\n", what.c_str(), text.c_str());
  std::abort();
}

// Every byte an accepted layout names lies inside its fixed part, in order.
void check_inside(const TypeLayout& t, const std::string& text) {
  uint64_t end = zim_codec::kBaseHeaderSize;
  for (const auto& h : t.header) {
    if (h.offset < zim_codec::kBaseHeaderSize || uint64_t{h.offset} + h.width > t.fixed_size)
      fail("a header field outside the fixed part", text);
    end = std::max<uint64_t>(end, uint64_t{h.offset} + h.width);
  }
  for (const auto& f : t.fields) {
    if (f.offset < end || f.end() > t.flags_at) fail("a field overlaps or passes the flags", text);
    end = f.end();
    if (f.flag_at < t.flags_at || f.flag_at >= t.npd_present) fail("a flag outside its area", text);
  }
  if (t.npd_present >= t.fixed_size || t.fixed_size > zim_codec::kMaxFixedSize)
    fail("npd_present or the fixed size out of bounds", text);
}

void check_layouts(const std::string& text) {
  const auto layouts = zim_codec::read_layouts("fuzz", text, [](int, const std::string&) {});
  tablegen::Diagnostics diags;
  const auto strict = tablegen::read_manifest("fuzz", text, diags);
  if (strict && (!layouts || layouts->size() != strict->size()))
    fail("the generator accepts what the runtime refuses", text);
  if (!layouts) return;
  for (size_t i = 0; i < layouts->size(); ++i) {
    const TypeLayout& t = (*layouts)[i];
    check_inside(t, text);
    const std::string record = zim_codec::layout_record(t);
    const auto again = zim_codec::read_layout_record(record);
    if (!again || zim_codec::layout_record(*again) != record)
      fail("a written record does not read back to itself", record);
    if (strict && zim_codec::layout_fingerprint((*strict)[i]) != zim_codec::layout_fingerprint(t))
      fail("the two readers disagree on a fingerprint", text);
    if (!zim_codec::first_breaking_difference(record, record).empty())
      fail("a record differs from itself", record);
  }
}

// The pool's record checks over the input as each record's bytes.
void check_pool_records(const uint8_t* data, size_t size) {
  zim_shm_pool_config_t config{};
  std::memcpy(&config, data, std::min(size, sizeof config));
  if (zim_codec::config_entries_fit(config, size, nullptr) &&
      sizeof config + uint64_t{config.entry_count} * sizeof(zim_shm_pool_config_entry_t) > size)
    std::abort();
  zim_shm_pool_layout_record_t layout{};
  std::memcpy(&layout, data, std::min(size, sizeof layout));
  if (zim_codec::layout_text_fits(layout, size, nullptr) &&
      sizeof layout + uint64_t{layout.text_size} > size)
    std::abort();
  zim_shm_pool_migration_t migration{};
  std::memcpy(&migration, data, std::min(size, sizeof migration));
  std::string problem;
  if (zim_codec::migration_head_fits(migration, migration.move_count, size, &problem)) {
    const uint64_t bytes = sizeof migration +
                           migration.type_count * sizeof(zim_shm_pool_migration_type_t) +
                           migration.move_capacity * sizeof(zim_shm_pool_move_t);
    if (bytes > size || migration.move_count > migration.move_capacity) std::abort();
    std::vector<zim_shm_pool_migration_type_t> types(migration.type_count);
    if (!types.empty())
      std::memcpy(types.data(), data + sizeof migration, types.size() * sizeof types[0]);
    zim_codec::migration_types_sound(types.data(), types.size(), &problem);
  } else if (problem.empty()) {
    std::abort();  // a refusal always says why
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_pool_records(data, size);
  const size_t split = text.find("\n=====\n");
  if (split == std::string::npos) {
    check_layouts(text);
    return 0;
  }
  const std::string older = text.substr(0, split), newer = text.substr(split + 7);
  check_layouts(older);
  check_layouts(newer);
  const std::string difference = zim_codec::first_breaking_difference(older, newer);
  const bool both_read =
      zim_codec::read_layout_record(older) && zim_codec::read_layout_record(newer);
  if (!both_read && difference.rfind("layout record unreadable: ", 0) != 0)
    fail("an unreadable record compared", text);
  return 0;
}
