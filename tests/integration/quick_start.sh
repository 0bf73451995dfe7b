#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the README's quick start: a client before any server, then a server
# and a client beside it, then a client after the server has gone. The server
# reads its own object after the client did; a client that fixed the shared
# object in place for its own mapping would have moved its pointers away from
# the server's.
#   quick_start.sh PROGRAM
set -euo pipefail
program=$1
tmp=$(mktemp -d)
trap 'exec 3>&-; rm -rf "$tmp"' EXIT
expect() {  # expect WHAT TEXT FILE
  grep -qxF "$2" "$3" || { echo "$1: expected \"$2\", got:"; cat "$3"; exit 1; }
}

if "$program" client >"$tmp/early" 2>&1; then
  echo "a client without a pool succeeded"; exit 1
fi
expect "client before the server" "attach: No such file or directory" "$tmp/early"

mkfifo "$tmp/enter"
"$program" server <"$tmp/enter" >"$tmp/server" 2>&1 &
server=$!
exec 3>"$tmp/enter"
# Until the server has published, a client finds no pool or nothing in it.
for _ in $(seq 200); do
  "$program" client >"$tmp/client" 2>&1 || true
  grep -qxF -e "attach: No such file or directory" -e "nothing published yet" "$tmp/client" ||
    break
  sleep 0.05
done
expect "client" "olist of 3 elements, element 0 = 1000" "$tmp/client"
echo >&3
wait "$server"
expect "server after the client" "element 0 = 1000" "$tmp/server"

if "$program" client >"$tmp/late" 2>&1; then
  echo "a client after the server removed its pool succeeded"; exit 1
fi
expect "client after the server" "attach: No such file or directory" "$tmp/late"
echo "the quick start's server and clients ran as the README says"
