#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A supervisor, a standby and two line cards on one machine: a Redis of their
# own, the supervisor's olist_server and its relay, and a mirror for each
# other card; then each failure in turn (the relay, a line card's mirror,
# Redis, the server), waiting after each until every copy holds the
# supervisor's objects again; then the supervisor lost and the standby
# taking over, the line cards following it and the supervisor, back,
# mirroring it. The commands of docs/using.md, "Beyond one machine", with
# the folder and the pools' names in variables.
#   beyond_one_machine.sh [OBJECTS [CHANGES_PER_SECOND]]
# olist_server, zim_tables_relay, zim_tables_mirror, zim_tables_inspect and
# redis-server on PATH. ZIM_WALK_SUFFIX follows each pool's name (/sup...),
# so that runs side by side do not meet; ZIM_WALK_CHECK, when set, is a
# command that gets "--wait 30 SOURCE COPY..." (/sup /standby /lc1 /lc2
# first) while the server is paused and must exit 0 when every copy equals
# the source pool.
set -euo pipefail
objects=${1:-1000} rate=${2:-1000}
sup=/sup${ZIM_WALK_SUFFIX-} standby=/standby${ZIM_WALK_SUFFIX-}
lc1=/lc1${ZIM_WALK_SUFFIX-} lc2=/lc2${ZIM_WALK_SUFFIX-}
source=$sup copies=("$standby" "$lc1" "$lc2")
dir=$(mktemp -d "${TMPDIR:-/tmp}/zim-redis.XXXXXX") # mode 0700
declare -A pid

# Every process stopped, readers before what they read, every pool
# destroyed, the folder removed.
finish() {
  local name
  for name in "$sup" "${copies[@]}" relay server redis; do
    if [ -n "${pid[$name]:-}" ]; then
      kill -TERM "${pid[$name]}" 2>/dev/null || true
      wait "${pid[$name]}" 2>/dev/null || true
    fi
  done
  for name in "$source" "${copies[@]}"; do zim_tables_inspect destroy "$name" >/dev/null 2>&1 || true; done
  rm -rf "$dir"
}
trap finish EXIT
cd "$dir"

# wait_for LOG TEXT [COUNT]: until LOG holds COUNT lines with TEXT (30 s).
wait_for() {
  local log=$1 text=$2 count=${3:-1} tries=300
  until [ "$(grep -cF -- "$text" "$log" || true)" -ge "$count" ]; do
    if ((--tries == 0)); then
      tail -n 20 ./*.log
      echo "beyond_one_machine: no $count lines '$text' in $log" >&2
      exit 1
    fi
    sleep 0.1
  done
}

# reloads LOG...: the new epochs and the loads the logs tell of.
reloads() { cat "$@" | grep -cE "^(relay: epoch:|mirror: loaded:)" || true; }

# unchanged BEFORE WHAT LOG...: no new epoch or load since BEFORE.
unchanged() {
  local before=$1 what=$2
  shift 2
  if [ "$(reloads "$@")" != "$before" ]; then
    grep -hE "^(relay: epoch:|mirror: loaded:)" "$@"
    echo "beyond_one_machine: $what made a new epoch or a load" >&2
    exit 1
  fi
}

# start NAME COMMAND...: in the background, its lines in NAME.log (a pool's
# name without its slash).
start() {
  local name=$1
  shift
  "$@" >>"${name#/}.log" 2>&1 &
  pid[$name]=$!
}

# kill_and_wait NAME SIGNAL: the process ended by SIGNAL; its status.
kill_and_wait() {
  local status=0
  kill -"$2" "${pid[$1]}"
  wait "${pid[$1]}" || status=$?
  unset "pid[$1]"
  return "$status"
}

# The copies against the source pool, its server paused.
agree() {
  echo "== $1"
  kill -USR1 "${pid[server]}"
  zim_tables_mirror --pool "$lc1" --status | sed -n 1,3p
  if [ -n "${ZIM_WALK_CHECK:-}" ]; then
    "$ZIM_WALK_CHECK" --wait 30 "$source" "${copies[@]}"
  fi
  kill -USR1 "${pid[server]}"
}

# A Redis of their own: a Unix socket in this folder, no TCP port, nothing
# saved, no eviction; the default user off, a relay user that writes only
# the keys of the supervisor's and the standby's pools (the standby may take
# over) and a mirror user that only reads them, each with the commands its
# tool needs. Passwords in files only their owner reads.
umask 077
head -c 24 /dev/urandom | base64 >relay.pw
head -c 24 /dev/urandom | base64 >mirror.pw
digest() { head -n 1 "$1" | tr -d '\n' | sha256sum | cut -d ' ' -f 1; }
cat >redis.conf <<EOF
port 0
unixsocket $dir/redis.sock
unixsocketperm 700
dir $dir
save ""
appendonly no
maxmemory-policy noeviction
user default off
user relay on #$(digest relay.pw) resetchannels ~zim:{$sup}:* ~zim:{$standby}:* -@all +ping +info +multi +exec +get +set +del +xadd +hset +hsetnx +hdel +sadd +smembers
user mirror on #$(digest mirror.pw) resetchannels %R~zim:{$sup}:* %R~zim:{$standby}:* -@all +ping +info +multi +exec +get +xrevrange +xrange +xread +xinfo|stream +smembers +hscan +hget
EOF
start redis redis-server redis.conf
wait_for redis.log "ready to accept connections"
relay=(zim_tables_relay --redis "$dir/redis.sock" --user relay --password-file relay.pw)
mirror=(zim_tables_mirror --redis "$dir/redis.sock" --user mirror --password-file mirror.pw)

# The supervisor's server, its relay, and a mirror for each other card.
start server olist_server "$sup" "$objects" "$rate"
wait_for server.log "created $sup"
start relay "${relay[@]}" "$sup"
for copy in "${copies[@]}"; do start "$copy" "${mirror[@]}" --pool "$sup" --local-pool "$copy"; done
for copy in "${copies[@]}"; do wait_for "${copy#/}.log" "loaded"; done
agree "every card holds the supervisor's objects"
zim_tables_inspect pool "$lc1" | sed -n 1p
timeout 1 zim_tables_inspect follow "$lc1" >follow.log || true
head -n 3 follow.log

# The relay killed and started again: a new epoch, every object published
# again; each mirror loads it, keeping what it holds.
kill_and_wait relay KILL || true
start relay "${relay[@]}" "$sup"
wait_for relay.log "relay: epoch:" 2
for copy in "${copies[@]}"; do wait_for "${copy#/}.log" "loaded" 2; done
agree "after the relay's restart"

# A line card's mirror killed and started again: it adopts its pool and
# resumes from the position it recorded, without a load.
before=$(reloads "${lc1#/}.log")
kill_and_wait "$lc1" KILL || true
start "$lc1" "${mirror[@]}" --pool "$sup" --local-pool "$lc1"
wait_for "${lc1#/}.log" "resumed"
agree "after the mirror of $lc1 restarted"
unchanged "$before" "the mirror's restart" "${lc1#/}.log"

# Redis killed and started again, empty: the relay fills a new epoch, the
# mirrors wait for it to be filled, then load.
kill_and_wait redis KILL || true
start redis redis-server redis.conf
wait_for relay.log "relay: epoch:" 3
for copy in "${copies[@]}"; do wait_for "${copy#/}.log" "loaded" 3; done
agree "after Redis came back empty"

# The server stopped: it hands its pool over; started again, it adopts it.
# The relay follows it in the same epoch: no mirror loads.
logs=(relay.log)
for copy in "${copies[@]}"; do logs+=("${copy#/}.log"); done
before=$(reloads "${logs[@]}")
kill_and_wait server TERM
grep -F "handed over" server.log
start server olist_server "$sup" "$objects" "$rate"
wait_for server.log "adopted $sup"
wait_for relay.log "resynced: why: the pool was handed over"
sleep 1
agree "after the server's restart"
unchanged "$before" "the server's restart" "${logs[@]}"

# The supervisor lost: its server and relay killed, its pool left behind.
# The standby takes over: its mirror stops and hands its pool over, a server
# adopts that pool, and a relay publishes it. Each line card's mirror is
# started again on the standby's pool: another identity, so it forgets the
# versions it held and takes every object again.
kill_and_wait server KILL || true
kill_and_wait relay KILL || true
kill_and_wait "$standby" TERM
start server olist_server "$standby" "$objects" "$rate"
wait_for server.log "adopted $standby"
start relay "${relay[@]}" "$standby"
for card in "$lc1" "$lc2"; do
  kill_and_wait "$card" TERM
  start "$card" "${mirror[@]}" --pool "$standby" --local-pool "$card"
  wait_for "${card#/}.log" "why: another source pool"
done
# The supervisor back: its stale pool removed, a mirror of the standby.
zim_tables_inspect destroy "$sup"
start "$sup" "${mirror[@]}" --pool "$standby" --local-pool "$sup"
wait_for "${sup#/}.log" "loaded"
source=$standby copies=("$sup" "$lc1" "$lc2")
agree "after the standby took over"
