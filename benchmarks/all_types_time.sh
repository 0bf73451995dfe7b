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
# --raw every case ("TYPE COUNT OP RATIO BAND BASE_RATIO LOSES RUN1 RUN2
# FLOOR_RATIO FLOOR_BAND FLOOR_BASE_RATIO SIZE": the ratio is the geometric
# mean of the two runs' ratios RUN1 and RUN2; FLOOR_RATIO library / floor).
# The summary ends with the floors (benchmarks/floor_gen.cpp): library / floor
# and floor / baseline, and the limits over the objects of 1 KiB or more.
# ZIM_TIME_CPU=N pins the benchmark to core N (else the core it starts on).
set -euo pipefail
build="${1:-build/default}"
cmake --build "$build" --target zim_tables_time_bench >/dev/null # built on request only
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
                       b1[key] = $11; f1[key] = $15; g1[key] = $15 == "-" ? 0 : half($15, $16, $17)
                       fb1[key] = $18; size[key] = $19; order[++n] = key; next }
  FILENAME ~ /run2$/ { key = $1 " " $2 " " $3; r2[key] = $8; h2[key] = half($8, $9, $10)
                       b2[key] = $11; f2[key] = $15; g2[key] = $15 == "-" ? 0 : half($15, $16, $17)
                       fb2[key] = $18; next }
  FILENAME ~ /run3$/ { key = $1 " " $2 " " $3; r3[key] = $8; next }
  function band_of(key) { return max(abs(r1[key] / r2[key] - 1), max(h1[key], h2[key])) }
  function floor_band(key) { return max(abs(f1[key] / f2[key] - 1), max(g1[key], g2[key])) }
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
# the baseline ratio ("-": none), whether it loses, both runs' ratios; then
# library / floor, its band and floor / baseline ("-": no floor) and the
# object's size.
awk "$band"'
  END {
    for (k = 1; k <= n; ++k) {
      key = order[k]
      loses = beyond(r1[key], key) + beyond(r2[key], key) + beyond(r3[key], key) >= 2
      base = b1[key] == "-" ? "-" : sprintf("%.4f", sqrt(b1[key] * b2[key]))
      floor = f1[key] == "-" ? "- - -" : sprintf("%.4f %.4f %.4f", sqrt(f1[key] * f2[key]), floor_band(key), sqrt(fb1[key] * fb2[key]))
      printf "%s %.4f %.4f %s %d %s %s %s %s\n", key, sqrt(r1[key] * r2[key]), band_of(key), base, loses, r1[key], r2[key], floor, size[key]
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
    runs[key, $3] = $8 " and " $9; if (!(key in seen)) { seen[key] = 1; keys[++n] = key }
    fl[key, $3] = $10; fbd[key, $3] = $11; fb[key, $3] = $12; sz[key] = $13 }
  function cell(key, op,   s) {
    s = sprintf("%.2f", r[key, op]); if (lose[key, op]) s = "**" s "**"
    s = s sprintf(" ±%.1f%%", 100 * bd[key, op])
    if (b[key, op] != "-") s = s sprintf(" / %.2f", b[key, op])
    return fl[key, op] == "-" ? s : s sprintf(" · %.2f", fl[key, op])
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
    printf "\n"
    floors(n, keys, nops, op)
    printf "load average %s (before / after), core %s, %d s\n", load, cpu, took
  }
  # The floors: geomeans of library / floor and floor / baseline, the
  # limits over objects of 1 KiB or more at count 8 and at count 100 (the
  # types without a count in both), and the cases furthest above their floor.
  function floors(n, keys, nops, op,   k, i, key, t, c, m, lf, lfb, nf, kb, lim, nl, worst, w, best, wanted, above) {
    for (k = 1; k <= n; ++k) for (i = 1; i <= nops; ++i) {
      key = keys[k]; c = key " " op[i]
      if (fl[key, op[i]] == "-") continue
      lf[i] += log(fl[key, op[i]]); lfb[i] += log(fb[key, op[i]]); ++nf[i]; worst[c] = fl[key, op[i]]
      if (fl[key, op[i]] > 1.03 * (1 + fbd[key, op[i]])) ++above
      split(key, t, " ")
      if (sz[key] < 1024) continue
      for (wanted = 8; wanted <= 100; wanted += 92) {
        if (t[2] != "-" && t[2] != wanted) continue
        kb = op[i] " " wanted; lim[kb, "lib"] += log(b[key, op[i]]); lim[kb, "floor"] += log(fb[key, op[i]]); ++nl[kb]
      }
    }
    printf "geomean, library / floor:"
    for (i = 1; i <= nops; ++i) if (nf[i]) printf " %s %.3f", op[i], exp(lf[i] / nf[i]); printf "\n"
    printf "geomean, floor / baseline:"
    for (i = 1; i <= nops; ++i) if (nf[i]) printf " %s %.3f", op[i], exp(lfb[i] / nf[i]); printf "\n"
    printf "objects of 1 KiB or more, library / baseline (floor / baseline):"
    for (i = 1; i <= nops; ++i) for (wanted = 8; wanted <= 100; wanted += 92) {
      kb = op[i] " " wanted
      if (nl[kb]) printf " %s at %d %.3f (%.3f, %d cases)", op[i], wanted, exp(lim[kb, "lib"] / nl[kb]), exp(lim[kb, "floor"] / nl[kb]), nl[kb]
    }
    printf "\n%d cases more than 1.03x their floor beyond the band; furthest:", above
    for (w = 1; w <= 5; ++w) {
      best = ""; for (c in worst) if (best == "" || worst[c] > worst[best]) best = c
      if (best == "") break
      split(best, t, " ")
      printf "%s %s %.3f ±%.1f%%", (w > 1 ? ";" : ""), best, worst[best], 100 * fbd[t[1] " " t[2], t[3]]
      delete worst[best]
    }
    printf "\n"
  }' "$work/cases"
