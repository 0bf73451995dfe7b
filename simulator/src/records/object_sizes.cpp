// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the object sizes of a layout (object_sizes.hpp).

#include "records/object_sizes.hpp"

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "codec/layout_record.hpp"

namespace zim_sim {

namespace {

constexpr uint64_t kMaxObjectSize = UINT32_MAX;  // an object records its size in 32 bits
constexpr uint64_t kMaxCount = UINT32_MAX;

// The size of an object with no counted element, past 32 bits (so that no
// size fits) when the sum overflows.
uint64_t base_size(const SizeRule& rule, uint64_t npd, uint64_t n) {
  uint64_t npus = 0, sum = 0;
  if (__builtin_mul_overflow(n, rule.per_npu, &npus) ||
      __builtin_add_overflow(rule.fixed, npd, &sum) || __builtin_add_overflow(sum, npus, &sum)) {
    return UINT64_MAX;
  }
  return sum;
}

}  // namespace

SizeRule size_rule_of(std::string_view record_text) {
  const std::optional<zim_codec::TypeLayout> layout = zim_codec::read_layout_record(record_text);
  SizeRule rule;
  if (!layout) return rule;
  rule.known = true;
  rule.fixed = layout->fixed_size;
  // A record's fields all lie inside its 32-bit fixed size, eight bytes a
  // pointer for an array, so neither sum can overflow.
  for (const zim_codec::FieldLayout& field : layout->fields) {
    const uint64_t element = uint64_t{field.width} + 1;
    if (field.kind == zim_codec::ItemKind::kPerNpuArray) rule.per_npu += element;
    if (field.kind == zim_codec::ItemKind::kCountedArray) rule.per_count += element;
  }
  return rule;
}

bool gives_size(const SizeRule& rule, uint64_t npd, uint64_t n, uint64_t size) {
  const uint64_t base = base_size(rule, npd, n);
  if (size > kMaxObjectSize || size < base) return false;
  const uint64_t dynamic = size - base;
  if (rule.per_count == 0) return dynamic == 0;
  return dynamic % rule.per_count == 0 && dynamic / rule.per_count <= kMaxCount;
}

std::string allowed_sizes(const SizeRule& rule, uint64_t npd, uint64_t n) {
  char parts[160];
  int used = std::snprintf(parts, sizeof parts, "NPD size %" PRIu64 " + fixed part %" PRIu64, npd,
                           rule.fixed);
  if (rule.per_npu != 0) {
    std::snprintf(parts + used, sizeof parts - used, " + %" PRIu64 " NPUs x %" PRIu64, n,
                  rule.per_npu);
  }
  const uint64_t base = base_size(rule, npd, n);
  std::string text;
  if (base > kMaxObjectSize) return "no size within 32 bits (" + (text = parts) + ")";
  text = std::to_string(base);
  if (rule.per_count != 0) {
    text += " + count x " + std::to_string(rule.per_count) + " bytes, at most 4294967295";
  } else {
    text += " bytes";
  }
  return text + " (" + parts + ")";
}

}  // namespace zim_sim
