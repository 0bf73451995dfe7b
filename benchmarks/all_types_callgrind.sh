#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every operation of every type against the straightforward build, in
# callgrind instructions per call: zim_tables_all_types_bench runs under
# callgrind once and dumps each case's counts under its label; this turns
# the dumps into rows. A row's "own" instructions leave out the allocator's
# (calloc and free with all they call), whose cost the heap's state decides.
#
#   benchmarks/all_types_callgrind.sh [BUILD_DIR] [--table | --losing | --raw] [TYPE...]
#
# Without an option it prints the summary; --table prints the whole table as
# Markdown, --losing the rows where the library takes more instructions than
# the straightforward build (exit status 1 when there is one), --raw every
# case's counts ("TYPE COUNT CASE ALL OWN").
set -euo pipefail
build="${1:-build/default}"
cmake --build "$build" --target zim_tables_all_types_bench >/dev/null # built on request only
mode="${2:---summary}"
shift $(($# < 2 ? $# : 2))
bench="$build/benchmarks/zim_tables_all_types_bench"
lib="$build/platforms/common/zim/tables/libzim_tables.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Callgrind counts a string move (rep movsb, rep stosb) once per byte, so
# glibc's memcpy and memset of large blocks, which turn to them past a
# threshold, would count far above their work. With the thresholds out of
# reach they run as vector loops and an instruction stands for work.
tunables=glibc.cpu.x86_rep_movsb_threshold=2147483647:glibc.cpu.x86_rep_stosb_threshold=2147483647
GLIBC_TUNABLES="$tunables${GLIBC_TUNABLES:+:$GLIBC_TUNABLES}" \
  valgrind --tool=callgrind --callgrind-out-file="$work/dumps" --combine-dumps=yes \
    --compress-strings=no --compress-pos=no --toggle-collect='*::run_*' \
    "$bench" "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; exit 2; }

# One line per case: type, count ("-": the type takes none), operation, and
# instructions per call in all and without the allocator.
awk '
  function flush() {
    if (label != "") { split(label, l, " "); printf "%s %s %s %d %d\n", l[1], l[2], l[3],
                                               total / l[4], (total - alloc) / l[4] }
    label = ""; total = 0; alloc = 0
  }
  /^desc: Trigger: Client Request: / { flush(); label = substr($0, 32); next }
  function allocator(name) { return name ~ /^(__libc_)?(calloc|malloc|free|cfree)$/ }
  /^fn=/ { caller_allocates = allocator(substr($0, 4)); next }
  /^cfn=/ { callee_allocates = allocator(substr($0, 5)); next }
  /^calls=/ { call = 1; next }
  /^[0-9+*-]/ {
    if (!call) total += $NF
    else if (callee_allocates && !caller_allocates) alloc += $NF
    call = 0; next
  }
  END { flush() }' "$work/dumps" >"$work/rows"

ops="get_obj_size fix_ptrs ctor_free read_dbobj write_dbobj_base copy_release"
case "$mode" in
  --summary | --table | --losing) ;;
  --raw) cat "$work/rows"; exit 0 ;;
  *) echo "usage: $0 [BUILD_DIR] [--table | --losing | --raw] [TYPE...]" >&2; exit 2 ;;
esac
awk -v ops="$ops" -v mode="$mode" '
  { key = $1 " " $2; own[key, $3] = $5; all[key, $3] = $4; if (!(key in seen)) { seen[key] = 1; keys[++n] = key } }
  function ratio(a, b) { return b == 0 ? 1 : a / b }
  END {
    nops = split(ops, op, " ")
    if (mode == "--table") {
      printf "| type | count |"; for (i = 1; i <= nops; ++i) printf " %s |", op[i]; printf "\n|---|---|"
      for (i = 1; i <= nops; ++i) printf "---|"; printf "\n"
    }
    for (k = 1; k <= n; ++k) {
      key = keys[k]; split(key, t, " ")
      if (mode == "--table") printf "| %s | %s |", t[1], t[2]
      for (i = 1; i <= nops; ++i) {
        ours = own[key, op[i]]; theirs = own[key, "sf_" op[i]]
        if (mode == "--table") printf " %d / %d |", ours, theirs
        if (ours > theirs) { ++losing; if (mode == "--losing") printf "%s %s %s: %d against %d (%.2fx)\n", t[1], t[2], op[i], ours, theirs, ratio(ours, theirs) }
        lg[i] += log(ratio(ours, theirs)); ++rows
      }
      if (mode == "--table") printf "\n"
      # The limits, at count 8 and for the types that take no count.
      if (t[2] != "8" && t[2] != "-") continue
      ++m
      read = ratio(all[key, "read_dbobj"], all[key, "memcpy_limit"])
      if (read > worst) { worst = read; worst_type = t[1] }
      lr += log(read); lc += log(ratio(all[key, "copy_release"], all[key, "calloc_memcpy_free"]))
      lk += log(ratio(all[key, "ctor_free"], all[key, "calloc_free"]))
      lf += log(ratio(all[key, "ctor_floor_free"], all[key, "calloc_free"]))
      lcf += log(ratio(all[key, "copy_floor_release"], all[key, "calloc_memcpy_free"]))
      lrf += log(ratio(all[key, "read_floor"], all[key, "memcpy_limit"]))
    }
    if (mode == "--losing") exit losing > 0
    if (mode == "--table") printf "\n"
    printf "%d rows of %d cases; %d where the library takes more than the straightforward build\n", rows, n, losing
    printf "geomean, ours / straightforward (own instructions):"
    for (i = 1; i <= nops; ++i) printf " %s %.3f", op[i], exp(lg[i] / n); printf "\n"
    printf "geomean over %d types at count 8: read_dbobj / memcpy %.3f (worst %s %.2f, floor %.3f), copy + release / calloc + memcpy + free %.3f (floor %.3f), ctor + free / calloc + free %.3f, floor %.3f\n",
           m, exp(lr / m), worst_type, worst, exp(lrf / m), exp(lc / m), exp(lcf / m), exp(lk / m), exp(lf / m)
  }' "$work/rows"
if [[ "$mode" != "--losing" ]]; then
  size "$lib" | awk 'NR == 2 {printf "libzim_tables text (size): %d bytes\n", $1}'
fi
