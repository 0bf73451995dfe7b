#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the README's quick start: a client before any server, then a server
# and a client following it through a change, then a client after the server
# has gone. The server writes its own object after the client read it; a
# client that fixed the shared object in place for its own mapping would have
# moved its pointers away from the server's.
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

wait_for() {  # wait_for WHAT TEXT FILE: up to 10 s
  for _ in $(seq 200); do
    grep -qxF "$2" "$3" && return 0
    sleep 0.05
  done
  expect "$1" "$2" "$3"
}

mkfifo "$tmp/enter"
"$program" server <"$tmp/enter" >"$tmp/server" 2>&1 &
server=$!
exec 3>"$tmp/enter"
wait_for "server" "serving; Enter changes element 0, q and Enter stop" "$tmp/server"
# The client finds the object through the index, shows it, then each change.
"$program" client >"$tmp/client" 2>&1 &
client=$!
wait_for "client" "olist of 3 elements, element 0 = 1000" "$tmp/client"
echo >&3
wait_for "server" "element 0 = 1001" "$tmp/server"
wait_for "client told of the change" "olist of 3 elements, element 0 = 1001" "$tmp/client"
kill "$client"
wait "$client" || true
echo q >&3
exec 3>&-
wait "$server"

if "$program" client >"$tmp/late" 2>&1; then
  echo "a client after the server removed its pool succeeded"; exit 1
fi
expect "client after the server" "attach: No such file or directory" "$tmp/late"
echo "the quick start's server and clients ran as the README says"
