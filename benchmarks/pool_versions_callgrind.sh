#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions per call under callgrind (zim_pool_versions_bench --loop): one
# zim_shm_pool_write_begin + zim_shm_pool_write_end pair with its feed entry,
# and one zim_shm_pool_index_get in an index of 65,536 keys filled to each of
# the given percentages (1 25 50 90 100 by default), the keys in turn: fewer
# ITERATIONS than keys look up the first filed only, whose probes are shorter
# (the default, 100,000, covers every key). The count includes the benchmark
# loop's own few instructions per call.
#   benchmarks/pool_versions_callgrind.sh [BUILD_DIR] [ITERATIONS] [FILL_PERCENT...]
set -euo pipefail
bench="${1:-build/default}/benchmarks/zim_pool_versions_bench"
cmake --build "${1:-build/default}" --target zim_pool_versions_bench >/dev/null # built on request only
iterations="${2:-100000}"
shift $(($# > 2 ? 2 : $#))
fills=("$@")
[ ${#fills[@]} -gt 0 ] || fills=(1 25 50 90 100)
count() {  # instructions inside run_<what>, per call
  local n
  n=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*run_$1*" \
    "$bench" --loop "$@" 2>&1 | awk '/Collected :/ {print $4}')
  [ -n "$n" ] || { echo "no count for --loop $*" >&2; exit 1; }
  awk -v n="$n" -v i="${*: -1}" 'BEGIN {printf "%.1f", n / i}'
}
echo "write_begin + write_end: $(count brackets "$iterations") Ir per pair"
for fill in "${fills[@]}"; do
  echo "index_get at ${fill}% full: $(count index_get "$fill" "$iterations") Ir per lookup"
done
