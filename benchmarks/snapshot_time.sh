#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Snapshots in wall time against malloc + memcpy + fix-up of the same bytes
# (zim_snapshot_time_bench), as ratios measured in one process: a heap
# object's snapshot and the same object's in a versioned pool with no writer
# active. The binary runs twice; a case's ratio is the geometric mean of the
# two runs' and its noise band the larger of their difference and the 95%
# intervals of their medians.
#
#   benchmarks/snapshot_time.sh [BUILD_DIR] [--summary | --table | --raw] [TYPE | TYPE:COUNT...]
#
# --table prints the ten benchmark types' rows as Markdown before the
# summary; --raw every case ("TYPE COUNT HEAP POOL CALLOC BAND MALLOC_NS":
# snapshot / malloc + memcpy + fix-up from the heap and from the pool,
# calloc + memcpy + fix-up / malloc + memcpy + fix-up, the band, and the
# heap baseline's ns). ZIM_TIME_CPU=N pins the benchmark to core N.
set -euo pipefail
build="${1:-build/default}"
cmake --build "$build" --target zim_snapshot_time_bench >/dev/null # built on request only
mode="${2:---summary}"
shift $(($# < 2 ? $# : 2))
case "$mode" in
  --summary | --table | --raw) ;;
  *) echo "usage: $0 [BUILD_DIR] [--summary | --table | --raw] [TYPE...]" >&2; exit 2 ;;
esac
bench="$build/benchmarks/zim_snapshot_time_bench"
cpu=(${ZIM_TIME_CPU:+--cpu "$ZIM_TIME_CPU"})
types="ipnhgroup testdynhg olist l2intf test_if nhgroup l1port tmport rawget testglobaldiscard"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
for run in 1 2; do "$bench" "${cpu[@]}" "$@" >"$work/run$run"; done
took=$(($(date +%s) - started))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# Fields of a run's line: 9-11 heap ratio and interval, 12-14 pool's, 15 calloc's.
awk '
  function half(r, lo, hi) { return (hi / r - 1 > 1 - lo / r) ? hi / r - 1 : 1 - lo / r }
  function max(a, b) { return a > b ? a : b }
  function abs(a) { return a < 0 ? -a : a }
  /^#/ { next }
  { key = $1 " " $2 }
  FILENAME ~ /run1$/ { order[++n] = key; h1[key] = $9; p1[key] = $12; c1[key] = $15; ns[key] = $6
                       w1[key] = max(half($9, $10, $11), half($12, $13, $14)); next }
  { h2[key] = $9; p2[key] = $12; c2[key] = $15; w2[key] = max(half($9, $10, $11), half($12, $13, $14)) }
  END {
    for (k = 1; k <= n; ++k) {
      key = order[k]
      band = max(max(abs(h1[key] / h2[key] - 1), abs(p1[key] / p2[key] - 1)), max(w1[key], w2[key]))
      printf "%s %.4f %.4f %.4f %.4f %s\n", key, sqrt(h1[key] * h2[key]), sqrt(p1[key] * p2[key]),
             sqrt(c1[key] * c2[key]), band, ns[key]
    }
  }' "$work/run1" "$work/run2" >"$work/cases"

if [[ "$mode" == "--raw" ]]; then cat "$work/cases"; exit 0; fi
if [[ "$mode" == "--table" ]]; then
  echo "| type | count | malloc + memcpy + fix-up, ns | heap snapshot | pool snapshot | calloc + memcpy + fix-up | band |"
  echo "|---|---|---|---|---|---|---|"
  for t in $types; do
    awk -v t="$t" '$1 == t { printf "| %s | %s | %.1f | %.2f | %.2f | %.2f | ±%.1f%% |\n", $1, $2, $7, $3, $4, $5, 100 * $6 }' \
      "$work/cases"
  done
  echo
fi
bands=$(cut -d' ' -f6 "$work/cases" | sort -g | awk '{ b[NR] = $1 }
  END { p90 = int(NR * 0.9); if (p90 < 1) p90 = 1
        printf "median %.1f%%, 90th percentile %.1f%%, widest %.1f%%", 100 * b[int((NR + 1) / 2)],
        100 * b[p90], 100 * b[NR] }')
awk -v bands="$bands" -v load="$load_before / $load_after" -v took="$took" -v cpu="$(sed -n 's/^# cpu //p' "$work/run1")" '
  function worst(r,   c, best) {
    best = ""; for (c in r) if (best == "" || r[c] > r[best]) best = c
    return sprintf("%s %.3f", best, r[best])
  }
  { key = $1 " " $2; heap[key] = $3; pool[key] = $4; ++n; lh += log($3); lp += log($4); lc += log($5)
    over_h += ($3 > 1.10); over_p += ($4 > 1.10)
    beyond_h += ($3 > 1.10 * (1 + $6)); beyond_p += ($4 > 1.10 * (1 + $6)) }
  END {
    printf "%d cases; geomean heap %.3f, pool %.3f, calloc %.3f (each / malloc + memcpy + fix-up)\n",
           n, exp(lh / n), exp(lp / n), exp(lc / n)
    printf "over 1.10: heap %d (%d beyond the band), pool %d (%d beyond the band)\n", over_h, beyond_h, over_p, beyond_p
    printf "worst: heap %s, pool %s\n", worst(heap), worst(pool)
    printf "noise band: %s\n", bands
    printf "load average %s (before / after), core %s, %d s\n", load, cpu, took
  }' "$work/cases"
