#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything but the fuzz targets and the benchmarks and runs the
# tests. With "ci", the checks that CI adds on the default build: the
# functions' sizes (clang-tidy over every unit) and whole snapshots in
# threads under ThreadSanitizer. With "sanitize", the tests under
# AddressSanitizer and UndefinedBehaviorSanitizer; with "fuzz", the fuzz
# targets (a clang build of their own, in build/fuzz) run from their corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-default}"
preset=$mode
[ "$mode" = ci ] && preset=default
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# Each test is a process that names its pools by its pid and writes to
# folders of its own, so the default and fuzz runs take every core; the
# sanitize run, each test several times slower and larger, keeps to one.
case "$mode" in
  sanitize) ctest --preset sanitize ;;
  ci)
    ctest --preset default --parallel "$(nproc)" --label-regex '^ci$'
    # A small build of its own beside the default one, whose generated
    # units it compiles.
    scripts/tsan.sh build/default
    ;;
  *) ctest --preset "$preset" --parallel "$(nproc)" --label-exclude '^ci$' ;;
esac
