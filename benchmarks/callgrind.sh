#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instruction counts per call under callgrind, which repeat exactly from run
# to run unlike times, as ratios to the baselines of the same run (see
# copy_bench.cpp), and the library's text size. With --times, Google
# Benchmark's time ratios for the same cases follow. ZIM_BENCH_MOVED=1 counts
# on objects moved to page-aligned blocks, as the times use them: calloc and
# free then meet another heap and cost more, which the baselines show.
#   benchmarks/callgrind.sh [BUILD_DIR] [--times]
set -euo pipefail
build="${1:-build/default}"
cmake --build "$build" --target zim_tables_bench >/dev/null # built on request only
bench="$build/benchmarks/zim_tables_bench"
lib="$build/platforms/common/zim/tables/libzim_tables.so"
iterations=1000
types="ipnhgroup testdynhg olist l2intf test_if nhgroup l1port tmport rawget testglobaldiscard"
ops="read_dbobj memcpy_limit copy_release calloc_memcpy_free ctor_free calloc_free
     ctor_floor_free sf_read_dbobj fix_ptrs sf_fix_ptrs get_obj_size sf_get_obj_size
     snapshot_free calloc_memcpy_fix_free"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

count() {  # instructions inside run_<op>(...) or run_<op><...>(...) per call
  local n
  n=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*run_$2?*" \
    "$bench" --loop "$1" "$2" "$iterations" ${ZIM_BENCH_MOVED:+moved} 2>&1 | awk '/Collected :/ {print $4}')
  echo "$1 $2 $((n / iterations))"
}
export -f count
export bench iterations ZIM_BENCH_MOVED
{
  for t in $types; do for op in $ops; do echo "$t $op"; done; done
  for op in checked_access index_access unchecked_access; do echo "olist $op"; done
} | xargs -P 2 -n 2 bash -c 'count "$0" "$1"' >"$work/counts"

awk -v types="$types" '
  { ir[$1 "/" $2] = $3 }
  function r(t, a, b) { return ir[t "/" a] / ir[t "/" b] }
  END {
    printf "%-18s %12s %8s %12s %8s %12s %8s %8s %9s %11s %11s %12s %6s\n", "type", "read Ir",
           "/limit", "copy+rel Ir", "/base", "ctor+free", "/base", "floor", "read/sf", "fix us/sf",
           "size us/sf", "snapshot Ir", "/base"
    n = split(types, list, " ")
    for (i = 1; i <= n; ++i) {
      t = list[i]
      a = r(t, "read_dbobj", "memcpy_limit"); b = r(t, "copy_release", "calloc_memcpy_free")
      c = r(t, "ctor_free", "calloc_free"); d = r(t, "ctor_floor_free", "calloc_free")
      e = r(t, "snapshot_free", "calloc_memcpy_fix_free")
      la += log(a); lb += log(b); lc += log(c); ld += log(d); le += log(e); if (a > worst) worst = a
      printf "%-18s %5d/%-6d %8.2f %12d %8.2f %12d %8.2f %8.2f %9.2f %5d/%-5d %5d/%-5d %5d/%-6d %6.2f\n", t,
             ir[t "/read_dbobj"], ir[t "/memcpy_limit"], a, ir[t "/copy_release"], b,
             ir[t "/ctor_free"], c, d, r(t, "read_dbobj", "sf_read_dbobj"), ir[t "/fix_ptrs"],
             ir[t "/sf_fix_ptrs"], ir[t "/get_obj_size"], ir[t "/sf_get_obj_size"],
             ir[t "/snapshot_free"], ir[t "/calloc_memcpy_fix_free"], e
    }
    printf "%-18s %12s %8.2f %12s %8.2f %12s %8.2f %8.2f   (read_dbobj worst %.2f) %29s %6.2f\n",
           "geomean", "", exp(la / n), "", exp(lb / n), "", exp(lc / n), exp(ld / n), worst, "",
           exp(le / n)
    printf "olist accessors, 8 elements x 2 arrays and 2 fields written and read: %d Ir checked, " \
           "%d with the index check alone, %d unchecked\n", ir["olist/checked_access"],
           ir["olist/index_access"], ir["olist/unchecked_access"]
  }' "$work/counts"
size -A "$lib" | awk '$1 == ".text" {printf "libzim_tables .text: %d bytes\n", $2}'
size "$lib" | awk 'NR == 2 {printf "libzim_tables text (size): %d bytes\n", $1}'

if [[ "${2:-}" == "--times" ]]; then
  "$bench" --benchmark_min_time=0.1 --benchmark_repetitions=5 2>/dev/null | grep '^time ratios'
fi
