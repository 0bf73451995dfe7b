#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Whole snapshots in threads under ThreadSanitizer (tests/tsan), built apart
# from the main build, whose generated units it takes.
#   scripts/tsan.sh [MAIN_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
main="${1:-build/default}"
build="$main/tsan"
cmake -S tests/tsan -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZIM_ROOT="$PWD" -DZIM_GENERATED="$PWD/$main/platforms/common/zim/tables/generated" \
  ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build "$build" -j2 --target snapshot_threads
# halt_on_error: a race ends the run with the sanitizer's status.
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" "$build/snapshot_threads"
