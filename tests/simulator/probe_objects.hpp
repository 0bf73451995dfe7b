// SPDX-License-Identifier: Apache-2.0
// Objects of the probe types (probe_defs) as pool_probe makes them and the
// migration tests read them back: every byte of a field follows from the
// object's number and the field's name, so that a value can be found wherever
// a layout puts its field. PROBE_OBJECT(T, obj, stamp, i, size) writes object
// i of type T (ZIM_T_* of its generated header) at obj, or with stamp false,
// tells whether obj holds it.
#ifndef ZIM_SIM_TESTS_PROBE_OBJECTS_HPP
#define ZIM_SIM_TESTS_PROBE_OBJECTS_HPP

#include <cstdint>
#include <cstring>

namespace probe_objects {

inline uint8_t byte_of(uint32_t object, const char* field, uint32_t at) {
  uint32_t hash = 0;
  for (const char* c = field; *c != '\0'; ++c) hash = hash * 31 + static_cast<uint8_t>(*c);
  return static_cast<uint8_t>(object * 7 + hash + at * 13);
}

// Each byte of [at, at + n) and each of the run's flags.
inline bool field(unsigned char* obj, bool stamp, uint32_t object, const char* name, uint32_t at,
                  uint32_t n, uint32_t flag, uint32_t run) {
  bool holds = true;
  for (uint32_t b = 0; b < n; ++b) {
    const uint8_t value = byte_of(object, name, b);
    holds = holds && (stamp ? (obj[at + b] = value, true) : obj[at + b] == value);
  }
  for (uint32_t f = 0; f < run; ++f) holds = holds && (stamp ? (obj[flag + f] = 1) : obj[flag + f]);
  return holds;
}

// Bytes 120 to 191 of the base header as the type's constructor leaves them
// (uid, total_obj_size, table_id, alloc_state), and npd_present.
inline bool base(unsigned char* obj, bool stamp, uint32_t object, uint32_t size, uint16_t table_id,
                 uint32_t npd_present_at, uint8_t npd_present) {
  const uint32_t uid = object + 1;
  unsigned char want[192] = {};
  std::memcpy(want + 120, &uid, sizeof uid);
  std::memcpy(want + 168, &size, sizeof size);
  std::memcpy(want + 178, &table_id, sizeof table_id);
  want[186] = 1;
  if (stamp) {
    std::memcpy(obj + 120, want + 120, 72);
    obj[npd_present_at] = npd_present;
  }
  return std::memcmp(obj + 120, want + 120, 72) == 0 && obj[npd_present_at] == npd_present;
}

}  // namespace probe_objects

#define PROBE_FIELD(T, F)                                                        \
  &&probe_objects::field(obj_, stamp_, i_, #F, ZIM_##T##_FIELD_##F##_OFFSET,     \
                         ZIM_##T##_FIELD_##F##_WIDTH* ZIM_##T##_FIELD_##F##_RUN, \
                         ZIM_##T##_FIELD_##F##_FLAG, ZIM_##T##_FIELD_##F##_RUN)
#define PROBE_OBJECT(T, obj, stamp, i, size, npd_size)                               \
  [](unsigned char* obj_, bool stamp_, uint32_t i_, uint32_t size_, uint32_t npd_) { \
    return probe_objects::base(obj_, stamp_, i_, size_, ZIM_TABLE_ID_##T,            \
                               ZIM_##T##_NPD_PRESENT_OFFSET, npd_ != 0)              \
        ZIM_##T##_INLINE_FIELDS(PROBE_FIELD);                                        \
  }(static_cast<unsigned char*>(obj), stamp, i, static_cast<uint32_t>(size), npd_size)

#endif  // ZIM_SIM_TESTS_PROBE_OBJECTS_HPP
