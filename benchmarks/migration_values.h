/* SPDX-License-Identifier: Apache-2.0 */
/* What the migration benchmark's first-version objects hold, so that the
 * benchmark can check every converted one. */
#ifndef ZIM_BENCHMARKS_MIGRATION_VALUES_H
#define ZIM_BENCHMARKS_MIGRATION_VALUES_H

#include <stdint.h>

enum { kMigrationHops = 8 };
static const uint64_t kMigrationGeneration = 0x0123456789abcdefull;
/* Top bits set: a widening that extended the sign would show. */
static inline uint32_t migration_hop(uint32_t k) { return 0xfff00000u + k; }
static inline uint16_t migration_lane(uint32_t n) { return (uint16_t)(0xff00u + n); }

#endif /* ZIM_BENCHMARKS_MIGRATION_VALUES_H */
