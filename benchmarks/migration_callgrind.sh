#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions of one zim_shm_pool_migrate under callgrind (zim_migration_bench
# --loop): OBJECTS objects of a changed type against calloc + memcpy of the
# same bytes, and pools of unchanged layouts of 1,000 and OBJECTS objects
# (the process's first migration, and one after it).
# The pool is filled by another program, which callgrind does not follow.
#   benchmarks/migration_callgrind.sh [BUILD_DIR] [OBJECTS]
set -euo pipefail
bench="${1:-build/default}/benchmarks/zim_migration_bench"
cmake --build "${1:-build/default}" --target zim_migration_bench zim_migration_bench_fill >/dev/null # built on request only
objects="${2:-100000}"
# glibc's string moves kept out of rep movsb/stosb, which callgrind counts
# once per byte: an instruction stands for work.
tunables=glibc.cpu.x86_rep_movsb_threshold=2147483647:glibc.cpu.x86_rep_stosb_threshold=2147483647
count() {  # instructions inside run_<what>, for one run
  GLIBC_TUNABLES="$tunables${GLIBC_TUNABLES:+:$GLIBC_TUNABLES}" \
    valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*run_$1*" \
    "$bench" --loop "$2" "$3" 2>&1 | awk '/Collected :/ {print $4}'
}
migrate=$(count migrate migrate "$objects")
baseline=$(count calloc_memcpy calloc_memcpy "$objects")
awk -v n="$objects" -v m="$migrate" -v b="$baseline" 'BEGIN {
  printf "changed, %d objects: migrate %d Ir (%.0f per object), calloc + memcpy %d Ir " \
         "(%.0f per object), ratio %.2f\n", n, m, m / n, b, b / n, m / b }'
# The process's first migration reads the program's layout notes; a later
# one (or one after any allocation or attach) has them.
for n in 1000 "$objects"; do
  echo "unchanged, $n objects: migrate $(count migrate unchanged "$n") Ir as the process's" \
    "first call, $(count migrate unchanged_again "$n") Ir after it"
done
