// SPDX-License-Identifier: Apache-2.0
// An olist object with every field set to one counter, as the snapshot
// stress tests' writers leave it, and the check of a copy of it.
#ifndef ZIM_SIM_TESTS_OLIST_COUNTER_HPP
#define ZIM_SIM_TESTS_OLIST_COUNTER_HPP

#include <zim/tables/olist.h>

#include <cstdint>

namespace zim_test {

constexpr uint32_t kCounterCount = 4;  // elements of each counted array

// Every field and element of obj, and their flags, to counter.
inline void set_all(qor_olist_obj* obj, uint64_t counter) {
  for (uint32_t i = 0; i < ZIM_OLIST_FIELD_0_RUN; ++i) zim_olist_set_field_0(obj, i, counter);
  for (uint32_t i = 0; i < ZIM_OLIST_FIELD_1_RUN; ++i) {
    zim_olist_set_field_1(obj, i, static_cast<uint32_t>(counter));
  }
  for (uint32_t i = 0; i < kCounterCount; ++i) zim_olist_set_field_2(obj, i, counter);
  for (uint32_t i = 0; i < kCounterCount; ++i) zim_olist_set_field_3(obj, i, counter);
  zim_olist_set_field_4(obj, static_cast<uint32_t>(counter));
  zim_olist_set_field_5(obj, counter);
}

// Whether every field of a copy holds one counter.
inline bool one_counter(qor_olist_obj* copy) {
  const uint64_t c = zim_olist_get_field_5(copy);
  bool same = zim_olist_field_2_length(copy) == kCounterCount &&
              zim_olist_field_3_length(copy) == kCounterCount &&
              zim_olist_get_field_4(copy) == static_cast<uint32_t>(c);
  for (uint32_t i = 0; i < ZIM_OLIST_FIELD_0_RUN; ++i) {
    same = same && zim_olist_get_field_0(copy, i) == c &&
           zim_olist_get_field_1(copy, i) == static_cast<uint32_t>(c);
  }
  for (uint32_t i = 0; i < kCounterCount; ++i) {
    same = same && zim_olist_get_field_2(copy, i) == c && zim_olist_get_field_3(copy, i) == c;
  }
  return same;
}

}  // namespace zim_test

#endif  // ZIM_SIM_TESTS_OLIST_COUNTER_HPP
