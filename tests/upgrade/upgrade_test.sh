#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A server upgraded without a cold start. The first version fills a pool,
# serves a client of its own and hands the pool over. Servers of catalogues no
# migration reaches adopt it in turn: each migration is refused, naming the
# type and the rule, before it writes a byte. The next version adopts it,
# migrates and serves: a client of the first version is refused at attach,
# naming each type that changed; one of the next reads every object; the
# inspector finds the pool consistent, the old objects retired and the layouts
# the next version's. Last, a server retires the objects of a type it no
# longer has and migrates the rest.
#   upgrade_test.sh V1 V2 INSPECTOR V2_DEFINITIONS V3_VARIANT...
set -euo pipefail
v1=$1 v2=$2 inspector=$3 v2_defs=$4
shift 4
pool=/zim_upgrade.$$
tmp=$(mktemp -d)
trap 'rm -rf "$tmp" "/dev/shm${pool}" "/dev/shm${pool}.retire"' EXIT
# shellcheck source=expect.sh
source "$(dirname "$0")/expect.sh"
# The pool past its header (ZIM_SHM_POOL_HEADER_SIZE bytes, which adoption and
# the pool's lock write): what a refused migration must leave as it was.
contents() { tail -c +16385 "/dev/shm$1" | sha256sum; }

"$v1" serve "$pool" "$v1" read "$pool" >"$tmp/v1" 2>&1 || fail "v1 server failed:" "$tmp/v1"
expect "v1 client" "v1 client read 240 objects" "$tmp/v1"

# variant: what its refusal says
declare -A refusal=(
  [narrowed]="gauge (table id 2000): field 0 'reading' 200:8 is now 200:4: a narrowed field or element cannot carry every value"
  [per_npu_made_counted]="route_set (table id 2004): field 2 'lanes' 216:2xN is now 216:2xC: per-NPU and counted arrays hold different numbers of elements"
  [header_changed]="peer (table id 2003): type header 192:4 200:8 208:1 is now 192:4 196:4: the type header is carried as it is, so its fields cannot change"
  [removed]="type route_set (table id 2004) is gone from this program, but the pool holds 48 objects of it: retire them first (zim_shm_pool_retire)"
  [id_reassigned]="route_set (table id 2004): table id 2004 now names type 'route_table': objects of one type cannot become objects of another"
)
for v3 in "$@"; do
  variant=${v3##*upgrade_v3_}
  before=$(contents "$pool")
  "$v3" migrate "$pool" >"$tmp/$variant" 2>&1 || fail "v3 $variant:" "$tmp/$variant"
  [[ $(contents "$pool") == "$before" ]] || fail "v3 $variant's refusal wrote the pool:" "$tmp/$variant"
  expect "v3 $variant" "zim_memory: cannot migrate pool $pool: ${refusal[$variant]}" "$tmp/$variant"
  expect "v3 $variant" "migration refused: Protocol error" "$tmp/$variant"
  if [[ $variant == removed ]]; then removed=$v3; fi
done

clients='! "$1" read "$3" 2>"$4" && "$2" read "$3" && "$5" pool "$3" --catalogue "$6"'
"$v2" serve "$pool" sh -c "$clients" - "$v1" "$v2" "$pool" "$tmp/v1_refused" "$inspector" \
  "$v2_defs" >"$tmp/v2" 2>&1 || fail "v2 server or client failed:" "$tmp/v2" "$tmp/v1_refused"
expect "v2 server" "v2 adopted the pool and migrated 192 objects" "$tmp/v2"
expect "v2 server" "zim_memory: migrated pool $pool: type peer (table id 2003) dropped its data field 2 'legacy'" "$tmp/v2"
expect "v2 client" "v2 client read 240 objects" "$tmp/v2"
expect "inspector" "240 objects, 62088 bytes, 192 retired blocks (48360 bytes), consistent" "$tmp/v2"
expect "inspector" "layout records: 5, 5 as in the catalogue" "$tmp/v2"
for type in "gauge (table id 2000)" "counter (table id 2001)" "peer (table id 2003)" \
  "route_set (table id 2004)"; do
  expect "v1 client after the migration" "holds objects of type $type of another layout" \
    "$tmp/v1_refused"
done
! grep -q label "$tmp/v1_refused" || fail "a rename refused the v1 client:" "$tmp/v1_refused"
[[ ! -e "/dev/shm$pool" ]] || fail "v2 left its pool behind" "$tmp/v2"

"$v1" serve "$pool.retire" >"$tmp/retire" 2>&1 &&
  "$removed" retire "$pool.retire" 2004 >>"$tmp/retire" 2>&1 || fail "retiring failed:" "$tmp/retire"
expect "retiring" "retired table id 2004, then migrated" "$tmp/retire"
echo "v1 handed over, v3 refused, v2 migrated and served, v1 refused, v2 read; retiring let v3 in"
