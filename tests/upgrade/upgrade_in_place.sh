#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A pool of version 8 made versioned in place by an adopter: the first version
# fills a pool and hands it over; the adopter upgrades it; a client of the
# first version reads every object by snapshot; the inspector finds the pool
# consistent and versioned.
#   upgrade_in_place.sh V1 UPGRADER INSPECTOR V1_DEFINITIONS
set -euo pipefail
v1=$1 upgrader=$2 inspector=$3 v1_defs=$4
pool=/zim_in_place.$$
tmp=$(mktemp -d)
trap 'rm -rf "$tmp" "/dev/shm${pool}"' EXIT
# shellcheck source=expect.sh
source "$(dirname "$0")/expect.sh"

"$v1" serve "$pool" >"$tmp/served" 2>&1 || fail "v1 server failed:" "$tmp/served"
"$upgrader" "$pool" >"$tmp/upgraded" 2>&1 || fail "the upgrade failed:" "$tmp/upgraded"
expect "upgrade" "upgraded in place: 241 moves" "$tmp/upgraded"
"$v1" read "$pool" >"$tmp/read" 2>&1 || fail "the v1 client failed:" "$tmp/read"
expect "v1 client" "v1 client read 240 objects" "$tmp/read"
"$inspector" pool "$pool" --catalogue "$v1_defs" >"$tmp/inspected" 2>&1 ||
  fail "the inspector:" "$tmp/inspected"
expect "inspector" "240 objects, 59880 bytes, 240 retired blocks (59880 bytes)" "$tmp/inspected"
# the upgrade drew sequence 1, the hand-over 2
expect "inspector" "versions: sequence 2, 241 pool ids drawn, 0 writes under way" "$tmp/inspected"
head -n 1 "$tmp/inspected" | grep -q ", consistent$" || fail "inconsistent:" "$tmp/inspected"
echo "v1 handed over, the adopter upgraded in place, v1 read every object"
