#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# pools_equal tells a copy that differs: of two pools of olist_server's,
# one changed and the other not, an object differs; of two unchanged ones
# whose servers made 20 and 10 objects, one lacks objects and the other has
# too many; a pool equals itself.
#   pools_differ.sh OLIST_SERVER POOLS_EQUAL INSPECT
set -euo pipefail
server=$1 pools_equal=$2 inspect=$3
a=/pools_differ_a.$$ b=/pools_differ_b.$$ c=/pools_differ_c.$$
tmp=$(mktemp -d)
finish() {
  local pool
  for pool in "$a" "$b" "$c"; do "$inspect" destroy "$pool" >/dev/null 2>&1 || true; done
  rm -rf "$tmp"
}
trap finish EXIT
# serve POOL OBJECTS RATE SECONDS: olist_server for that long once it made
# its objects, then handed over.
serve() {
  local log=$tmp/${1#/}.log
  "$server" "$1" "$2" "$3" >"$log" &
  until grep -q created "$log"; do sleep 0.05; done
  sleep "$4"
  kill -TERM $!
  wait $!
}
# expect STATUS TEXT POOLS...: pools_equal's status and a line holding TEXT.
expect() {
  local status=0 want=$1 text=$2
  shift 2
  out=$("$pools_equal" "$@" 2>&1) || status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "pools_equal $*: status $status, '$out'; expected $want and '$text'"
    exit 1
  fi
}
serve "$a" 20 1 0 # no change: as made
serve "$b" 20 1000 0.3
serve "$c" 10 1 0
expect 0 "20 objects of $a in each of 1 copies" "$a" "$a"
expect 1 "$b: object" "$a" "$b"
expect 1 "$c: object 11 is missing" "$a" "$c"
expect 1 "$a: the copy holds objects the source does not" "$c" "$a"
echo "pools_equal: equal, differing, missing and extra objects told"
