// SPDX-License-Identifier: Apache-2.0
// The converter reads an old object's values and count, never its pointers,
// and writes the new object's pointers for the address it is given. So the
// image converts as it came, once its offsets are checked, into a scratch
// copy whose pointers name that copy; the copy becomes an image again (its
// pointers offsets), which the pool lays out as any object it receives.
#include "layout_upgrade.hpp"

#include <vector>

#include "codec/printable.hpp"
#include "object_image.hpp"

namespace zim_mirror {

std::unique_ptr<LayoutUpgrade> LayoutUpgrade::plan(const std::string& source_text,
                                                   const std::string& own_text,
                                                   zim_codec::TypeLayout own,
                                                   uint64_t own_fingerprint, uint32_t npus,
                                                   uint32_t npd_size, std::string& why) {
  std::vector<char> refusals(2048, '\0');
  zim_table_migration_t* p = zim_table_migration_plan(
      source_text.data(), source_text.size(), own_text.data(), own_text.size(), npus, npd_size,
      npd_size, refusals.data(), refusals.size());
  if (p == nullptr) {
    std::string lines = refusals.data();
    while (!lines.empty() && lines.back() == '\n') lines.pop_back();
    why = zim_codec::printable(lines.empty() ? "the converter refuses it" : lines, 600);
    return nullptr;
  }
  return std::unique_ptr<LayoutUpgrade>(new LayoutUpgrade(p, std::move(own), own_fingerprint));
}

LayoutUpgrade::~LayoutUpgrade() { zim_table_migration_free(plan_); }

std::string LayoutUpgrade::dropped() const {
  std::string fields = zim_table_migration_dropped(plan_);
  while (!fields.empty() && fields.back() == '\n') fields.pop_back();
  for (size_t at; (at = fields.find('\n')) != std::string::npos;) fields.replace(at, 1, "; ");
  return zim_codec::printable(fields, 400);
}

bool LayoutUpgrade::convert(const Change& c, const zim_codec::TypeLayout& source, Change& into,
                            std::string& why) const {
  const zim_objects::Sizing sizing{c.npus, c.npd_size, 0};
  zim_relay::ImageFrame old_frame;
  Bytes old_image = c.image;
  if (!zim_relay::frame_object(source, sizing, old_image, old_frame, why)) return false;
  old_image.resize(old_frame.end);
  Bytes checked = old_image;
  if (!zim_relay::from_image(source, old_frame, 0, checked, why)) return false;

  const uint64_t size = zim_table_migration_new_size(plan_, old_image.data(), old_image.size());
  if (size == 0) return why = "the converter finds no object of its layout in it", false;
  Bytes scratch(size, 0);
  if (zim_table_migration_convert(plan_, old_image.data(), old_image.size(), scratch.data(),
                                  size) != 0) {
    return why = "the converter refuses it", false;
  }
  zim_relay::ImageFrame new_frame;
  if (!zim_relay::frame_object(own_, sizing, scratch, new_frame, why)) return false;
  if (new_frame.end != size) {
    why = "converted to " + std::to_string(size) + " bytes where its layout places " +
          std::to_string(new_frame.end);
    return false;
  }
  if (!zim_relay::to_image(own_, new_frame, scratch, why)) return false;
  into = c;
  into.image = std::move(scratch);
  into.fingerprint = own_fingerprint_;
  return true;
}

}  // namespace zim_mirror
