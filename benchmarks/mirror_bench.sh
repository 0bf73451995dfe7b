#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The relay and the mirror measured on this machine, in one run: a
# redis-server of the run's own (a fresh folder of mode 0700, a Unix socket,
# no TCP port, nothing saved), the rates two mirrors keep up with and their
# latencies, the time to reconverge after a mirror or redis-server restart,
# and pool images against a plain copy of the pool's bytes.
#   benchmarks/mirror_bench.sh [BUILD_DIR] [rates|reconverge|image|all]
# Environment: RATES (25000,50000,100000,200000), SECONDS_PER_RATE (3),
# RATE_OBJECTS (4096), OBJECTS (1000000), CHANGES (10000), IMAGE_OBJECTS
# (1000000).
set -eu
build=${1:-build/default}
cmake --build "$build" --target zim_mirror_bench zim_image_bench zim_tables_relay zim_tables_mirror zim_tables_inspect >/dev/null # built on request only
what=${2:-all}
bench=$build/benchmarks/zim_mirror_bench
relay=$build/tools/relay/zim_tables_relay
mirror=$build/tools/mirror/zim_tables_mirror
for tool in "$bench" "$relay" "$mirror"; do
  [ -x "$tool" ] || { echo "mirror_bench.sh: $tool is not built" >&2; exit 2; }
done
command -v redis-server >/dev/null || { echo "mirror_bench.sh: no redis-server" >&2; exit 2; }

folder=$(mktemp -d /tmp/zim_mirror_bench.XXXXXX)
chmod 700 "$folder"
trap 'rm -rf "$folder"' EXIT INT TERM
cat > "$folder/redis.conf" <<CONF
port 0
unixsocket $folder/redis.sock
unixsocketperm 700
dir $folder
save ""
appendonly no
daemonize no
logfile $folder/redis.log
maxmemory-policy noeviction
CONF

load() { echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"; }

echo "build: $build ($(grep -s '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" || echo unknown))"
if [ "$what" = all ] || [ "$what" = rates ]; then
  load
  "$bench" rates --relay "$relay" --mirror "$mirror" --redis-conf "$folder/redis.conf" \
    --socket "$folder/redis.sock" --folder "$folder" \
    --objects "${RATE_OBJECTS:-4096}" --seconds "${SECONDS_PER_RATE:-3}" \
    --rates "${RATES:-25000,50000,100000,200000}"
  load
fi
if [ "$what" = all ] || [ "$what" = reconverge ]; then
  load
  "$bench" reconverge --relay "$relay" --mirror "$mirror" --redis-conf "$folder/redis.conf" \
    --socket "$folder/redis.sock" --folder "$folder" \
    --objects "${OBJECTS:-1000000}" --changes "${CHANGES:-10000}"
  load
fi
if [ "$what" = all ] || [ "$what" = image ]; then
  load
  "$build/benchmarks/zim_image_bench" "$build/tools/inspect/zim_tables_inspect" \
    --objects "${IMAGE_OBJECTS:-1000000}" --count 3 --rounds 3 --folder "$folder"
  load
fi
