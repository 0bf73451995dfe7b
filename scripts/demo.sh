#!/usr/bin/env bash
# Builds the library and runs the demonstration on the simulated platform.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zim_tables_demo
exec build/default/tools/zim_tables_demo
