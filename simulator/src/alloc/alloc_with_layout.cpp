// SPDX-License-Identifier: Apache-2.0
// libzim_memory: blocks that carry a given pool id and bring the layout their
// maker received with them, for a copier that carries no layout note of the
// table id: the pool records that layout as a program's note would.

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>

#include "alloc/alloc.hpp"
#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/pool_records.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "records/records.hpp"
#include "versions/versions.hpp"

namespace {

// Why `text` is not the layout record of table_id with `fingerprint`, or
// empty when it is. The text is outside bytes: bounded, and quoted only
// through printable().
std::string received_refusal(uint32_t table_id, const char* text, uint32_t text_size,
                             uint64_t fingerprint) {
  if (text == nullptr || text_size == 0 || text_size > zim_codec::kMaxLayoutText) {
    return "a layout text of " + std::to_string(text_size) + " bytes";
  }
  std::string problem;
  const auto layout = zim_codec::read_layout_record(std::string(text, text_size), &problem);
  if (!layout) return "its layout text does not read: " + zim_sim::printable(problem);
  if (layout->table_id != table_id) {
    return "its layout text is of table id " + std::to_string(layout->table_id);
  }
  if (zim_codec::layout_fingerprint(*layout) != fingerprint) {
    return "its fingerprint is not its layout text's";
  }
  return "";
}

}  // namespace

bool zim_sim::read_received_layout(uint32_t table_id, const char* layout_text, uint32_t text_size,
                                   uint64_t fingerprint, NoteLayout* received) {
  const std::string refused = received_refusal(table_id, layout_text, text_size, fingerprint);
  if (!refused.empty()) {
    std::fprintf(stderr,
                 "zim_memory: cannot make an object of table id %" PRIu32
                 " with the layout %016" PRIx64 " it was given: %s\n",
                 table_id, fingerprint, refused.c_str());
    return false;
  }
  std::string text(layout_text, text_size);
  const zim_sim::SizeRule sizes = zim_sim::size_rule_of(text);
  *received = {fingerprint, std::move(text), "the source", "", sizes};
  return true;
}

extern "C" ZIM_SIM_API void* zim_shm_pool_alloc_with_layout(uint32_t table_id, uint64_t size,
                                                            uint64_t pool_id,
                                                            const char* layout_text,
                                                            uint32_t text_size,
                                                            uint64_t fingerprint) {
  zim_sim::PoolHeader* hdr = zim_sim::mapped_pool();
  zim_sim::NoteLayout received;
  if (pool_id == 0 || hdr == nullptr || !zim_sim::is_versioned(hdr) ||
      table_id > ZIM_SHM_POOL_MAX_TABLE_ID ||
      !zim_sim::read_received_layout(table_id, layout_text, text_size, fingerprint, &received)) {
    errno = EINVAL;
    return nullptr;
  }
  return zim_sim::calloc_block_as(table_id, size, pool_id, &received);
}
