// SPDX-License-Identifier: Apache-2.0
// The C interface of libzim_table_migration (zim/tables/migration.h).
#include "zim/tables/migration.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/migration_plan.hpp"
#include "codec/printable.hpp"
#include "migrate/conversion.hpp"

struct zim_table_migration {
  zim_migration::Conversion conversion;
  std::string dropped;
  bool changes_objects = false;
};

namespace {

using zim_codec::TypeLayout;

// The record's layout, or the first line of why it cannot be read.
std::optional<TypeLayout> read_record(const char* name, const char* text, size_t size,
                                      std::vector<std::string>& why) {
  if (text == nullptr && size != 0) {
    why.push_back(std::string(name) + ": no text");
    return std::nullopt;
  }
  std::string first;
  auto layout = zim_codec::read_layout_record(std::string_view(text == nullptr ? "" : text, size),
                                              &first, name);
  if (layout) return layout;
  why.push_back(first.empty() ? std::string(name) + ": not one type's record" : first);
  return std::nullopt;
}

// The lines, truncated to what `why` holds, always terminated.
void report(const std::vector<std::string>& lines, char* why, size_t why_size) {
  if (why == nullptr || why_size == 0) return;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const size_t n = std::min(text.size(), why_size - 1);
  std::memcpy(why, text.data(), n);
  why[n] = '\0';
}

std::string title(const TypeLayout& t) {
  return zim_codec::printable(t.name) + " (table id " + std::to_string(t.table_id) + "): ";
}

zim_table_migration* plan(const char* older_text, size_t older_size, const char* newer_text,
                          size_t newer_size, uint32_t npus, uint32_t old_npd_size,
                          uint32_t new_npd_size, std::vector<std::string>& why) {
  const auto older = read_record("older layout record", older_text, older_size, why);
  const auto newer = read_record("newer layout record", newer_text, newer_size, why);
  if (!older || !newer) return nullptr;
  for (const TypeLayout* t : {&*older, &*newer}) {
    if (const auto outside = zim_objects::bounds_problem(*t)) {
      why.push_back(title(*t) + "the layout record is unusable: " + *outside);
    }
  }
  if (!why.empty()) return nullptr;
  const zim_codec::MigrationPlan rules = zim_codec::plan_migration(*older, *newer);
  for (const std::string& refusal : rules.refusals) why.push_back(refusal);
  if (!why.empty()) return nullptr;

  std::string unusable;
  auto conversion = zim_migration::Conversion::compile(*older, *newer, rules.fields, npus,
                                                       old_npd_size, new_npd_size, unusable);
  if (!conversion) {
    why.push_back(title(*newer) + unusable);
    return nullptr;
  }
  auto* p = new zim_table_migration{std::move(*conversion), {}, rules.changed};
  for (const std::string& line : rules.dropped) p->dropped += line + "\n";
  return p;
}

}  // namespace

extern "C" {

zim_table_migration_t* zim_table_migration_plan(const char* older, size_t older_size,
                                                const char* newer, size_t newer_size,
                                                uint32_t max_num_npus, uint32_t old_npd_size,
                                                uint32_t new_npd_size, char* why, size_t why_size) {
  std::vector<std::string> lines;
  zim_table_migration* p = nullptr;
  try {
    p = plan(older, older_size, newer, newer_size, max_num_npus, old_npd_size, new_npd_size, lines);
  } catch (const std::bad_alloc&) {
    lines.assign(1, "out of memory while planning a migration");
  } catch (const std::exception& e) {
    lines.assign(1, "a layout record cannot be read: " + zim_codec::printable(e.what()));
  }
  if (p == nullptr) report(lines, why, why_size);
  return p;
}

void zim_table_migration_free(zim_table_migration_t* plan) { delete plan; }

uint64_t zim_table_migration_new_size(const zim_table_migration_t* plan, const void* old_obj,
                                      uint64_t old_bytes) {
  if (plan == nullptr) return 0;
  return plan->conversion.new_size(static_cast<const unsigned char*>(old_obj), old_bytes);
}

int zim_table_migration_convert(const zim_table_migration_t* plan, const void* old_obj,
                                uint64_t old_bytes, void* to, uint64_t new_size) {
  if (plan == nullptr) return -1;
  return plan->conversion.convert(static_cast<const unsigned char*>(old_obj), old_bytes,
                                  static_cast<unsigned char*>(to), new_size)
             ? 0
             : -1;
}

const char* zim_table_migration_dropped(const zim_table_migration_t* plan) {
  return plan == nullptr ? "" : plan->dropped.c_str();
}

int zim_table_migration_changes_objects(const zim_table_migration_t* plan) {
  return plan != nullptr && plan->changes_objects ? 1 : 0;
}

}  // extern "C"
