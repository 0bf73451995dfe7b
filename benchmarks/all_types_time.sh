#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every operation of every type in wall time against the straightforward
# build and the baselines (zim_tables_time_bench), as ratios measured in one
# process. The binary runs twice; a case's noise band is the larger of the
# two runs' difference and the 95% intervals of their medians. A case where
# the library is slower than the straightforward build beyond its band in
# either run is measured a third time, and it loses only when it is beyond
# the band in two of the three runs.
#
#   benchmarks/all_types_time.sh [BUILD_DIR] [--summary | --table | --losing | --raw] [TYPE...]
#
# Without an option it prints the summary; --table prints every row as
# Markdown before it, --losing the losing cases (exit status 1 when there is one),
# --raw every case ("TYPE COUNT OP RATIO BAND BASE_RATIO LOSES RUN1 RUN2": the
# ratio is the geometric mean of the two runs' ratios RUN1 and RUN2).
# ZIM_TIME_CPU=N pins the benchmark to core N (else the core it starts on).
set -euo pipefail
build="${1:-build/default}"
mode="${2:---summary}"
shift $(($# < 2 ? $# : 2))
case "$mode" in
  --summary | --table | --losing | --raw) ;;
  *) echo "usage: $0 [BUILD_DIR] [--summary | --table | --losing | --raw] [TYPE...]" >&2; exit 2 ;;
esac
bench="$build/benchmarks/zim_tables_time_bench"
cpu=(${ZIM_TIME_CPU:+--cpu "$ZIM_TIME_CPU"})
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
for run in 1 2; do "$bench" "${cpu[@]}" "$@" >"$work/run$run"; done

# The band of each case from the two runs, and where either run is beyond it.
band='
  function half(r, lo, hi) { return (hi / r - 1 > 1 - lo / r) ? hi / r - 1 : 1 - lo / r }
  function max(a, b) { return a > b ? a : b }
  function abs(a) { return a < 0 ? -a : a }
  /^#/ { next }
  FILENAME ~ /run1$/ { key = $1 " " $2 " " $3; r1[key] = $8; h1[key] = half($8, $9, $10)
                       b1[key] = $11; order[++n] = key; next }
  FILENAME ~ /run2$/ { key = $1 " " $2 " " $3; r2[key] = $8; h2[key] = half($8, $9, $10)
                       b2[key] = $11; next }
  FILENAME ~ /run3$/ { key = $1 " " $2 " " $3; r3[key] = $8; next }
  function band_of(key) { return max(abs(r1[key] / r2[key] - 1), max(h1[key], h2[key])) }
  function beyond(r, key) { return r != "" && r > 1 + band_of(key) }'

awk "$band"'
  END { for (k = 1; k <= n; ++k) { key = order[k]; split(key, t, " ")
          if (beyond(r1[key], key) || beyond(r2[key], key)) print (t[2] == "-" ? t[1] : t[1] ":" t[2]) } }
' "$work/run1" "$work/run2" | sort -u >"$work/repeat"
touch "$work/run3"
if [[ -s "$work/repeat" ]]; then
  xargs "$bench" "${cpu[@]}" <"$work/repeat" >"$work/run3"
fi
took=$(($(date +%s) - started))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# One line per case: both runs' ratios merged (geometric mean), the band,
# the baseline ratio ("-": none) and whether it loses.
awk "$band"'
  END {
    for (k = 1; k <= n; ++k) {
      key = order[k]
      loses = beyond(r1[key], key) + beyond(r2[key], key) + beyond(r3[key], key) >= 2
      base = b1[key] == "-" ? "-" : sprintf("%.4f", sqrt(b1[key] * b2[key]))
      printf "%s %.4f %.4f %s %d %s %s\n", key, sqrt(r1[key] * r2[key]), band_of(key), base, loses, r1[key], r2[key]
    }
  }' "$work/run1" "$work/run2" "$work/run3" >"$work/cases"

if [[ "$mode" == "--raw" ]]; then cat "$work/cases"; exit 0; fi
if [[ "$mode" == "--losing" ]]; then
  awk '$7 { printf "%s %s %s: %.3f, band %.1f%%\n", $1, $2, $3, $4, 100 * $5; bad = 1 }
       END { exit bad }' "$work/cases"
  exit
fi

ops="get_obj_size fix_ptrs ctor_free read_dbobj write_dbobj_base copy_release"
bands=$(cut -d' ' -f5 "$work/cases" | sort -g | awk '{ b[NR] = $1 }
  END { printf "median %.1f%%, 90th percentile %.1f%%, widest %.1f%%", 100 * b[int((NR + 1) / 2)],
        100 * b[int(NR * 0.9)], 100 * b[NR] }')
awk -v ops="$ops" -v mode="$mode" -v repeated="$(wc -l <"$work/repeat")" -v took="$took" -v bands="$bands" \
    -v load="$load_before / $load_after" -v cpu="$(sed -n 's/^# cpu //p' "$work/run1")" '
  { key = $1 " " $2; r[key, $3] = $4; bd[key, $3] = $5; b[key, $3] = $6; lose[key, $3] = $7
    runs[key, $3] = $8 " and " $9; if (!(key in seen)) { seen[key] = 1; keys[++n] = key } }
  function cell(key, op,   s) {
    s = sprintf("%.2f", r[key, op]); if (lose[key, op]) s = "**" s "**"
    s = s sprintf(" ±%.1f%%", 100 * bd[key, op])
    return b[key, op] == "-" ? s : s sprintf(" / %.2f", b[key, op])
  }
  END {
    nops = split(ops, op, " ")
    if (mode == "--table") {
      printf "| type | count |"; for (i = 1; i <= nops; ++i) printf " %s |", op[i]; printf "\n|---|---|"
      for (i = 1; i <= nops; ++i) printf "---|"; printf "\n"
      for (k = 1; k <= n; ++k) { split(keys[k], t, " "); printf "| %s | %s |", t[1], t[2]
        for (i = 1; i <= nops; ++i) printf " %s |", cell(keys[k], op[i]); printf "\n" }
      printf "\n"
    }
    for (k = 1; k <= n; ++k) for (i = 1; i <= nops; ++i) {
      key = keys[k]; c = key " " op[i]; ++rows; losing += lose[key, op[i]]
      lg[i] += log(r[key, op[i]]); if (b[key, op[i]] != "-") { lb[i] += log(b[key, op[i]]); ++nb[i] }
      ratio[c] = r[key, op[i]]; band[c] = bd[key, op[i]]; both[c] = runs[key, op[i]]
    }
    printf "%d cases of %d rows; %d lose (slower than the straightforward build beyond the band in two runs; %d rows repeated)\n",
           rows, n, losing, repeated
    printf "geomean, library / straightforward:"
    for (i = 1; i <= nops; ++i) printf " %s %.3f", op[i], exp(lg[i] / n); printf "\n"
    printf "geomean, library / baseline:"
    for (i = 1; i <= nops; ++i) if (nb[i]) printf " %s %.3f", op[i], exp(lb[i] / nb[i]); printf "\n"
    printf "noise band: %s\n", bands
    printf "worst:"
    for (w = 1; w <= 5; ++w) {
      best = ""; for (c in ratio) if (best == "" || ratio[c] > ratio[best]) best = c
      printf "%s %s %.3f ±%.1f%% (runs %s)", (w > 1 ? ";" : ""), best, ratio[best], 100 * band[best], both[best]
      delete ratio[best]
    }
    printf "\nload average %s (before / after), core %s, %d s\n", load, cpu, took
  }' "$work/cases"
