#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything but the fuzz targets and runs the tests, then (default
# preset) the threaded snapshot run under ThreadSanitizer. With "sanitize", the same under
# AddressSanitizer and UndefinedBehaviorSanitizer; with "fuzz", the fuzz
# targets (a clang build of their own, in build/fuzz) run from their corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# Each test is a process that names its pools by its pid and writes to
# folders of its own, so the default and fuzz runs take every core; the
# sanitize run, each test several times slower and larger, keeps to one.
if [ "$preset" = sanitize ]; then
  ctest --preset "$preset"
else
  ctest --preset "$preset" --parallel "$(nproc)"
fi
# Whole snapshots in threads under ThreadSanitizer: a small build of its own
# beside the default one, whose generated units it compiles.
if [ "$preset" = default ]; then
  scripts/tsan.sh "build/$preset"
fi
