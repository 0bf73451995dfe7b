#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything and runs the tests, then (default preset) the threaded
# snapshot run under ThreadSanitizer. With "sanitize", the same under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
# Whole snapshots in threads under ThreadSanitizer: a small build of its own
# beside the default one, whose generated units it compiles.
if [ "$preset" = default ]; then
  scripts/tsan.sh "build/$preset"
fi
