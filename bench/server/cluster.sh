#!/usr/bin/env bash
# Two crw-server nodes on one private Redis, all on loopback: latencies across nodes, then "/list" requests/s of one
# node and of both at once with LISTED players listed. Everything it starts is stopped at the end.
# usage: [LISTED=N] [DURATION=SECONDS] bench/server/cluster.sh [BUILD_DIR]   (10000 and 10 by default; needs wrk:
# CRW_WITH_BENCH=1 scripts/install-deps.sh)
set -euo pipefail
BUILD=${1:-build}
LISTED=${LISTED:-10000}
DURATION=${DURATION:-10}
command -v wrk >/dev/null || { echo "wrk is missing: CRW_WITH_BENCH=1 scripts/install-deps.sh" >&2; exit 1; }
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() { # FILE TEXT: waits up to 20 s for the text in the file
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "timed out waiting for '$2' in $1" >&2; cat "$1" >&2; return 1
}

RP=$(free_port)
redis-server --port "$RP" --bind 127.0.0.1 --save "" --appendonly no --daemonize no >"$WORK/redis.log" 2>&1 &
PIDS+=($!)
wait_for "$WORK/redis.log" "Ready to accept connections"

port_of() { sed -n 's/^listening on [^:]*:\([0-9]*\)$/\1/p' "$1" | head -1; }
for n in a b; do
  "$BUILD/server/crw-server" --port 0 --redis "127.0.0.1:$RP" --node-id "$n" >"$WORK/$n.log" 2>&1 &
  PIDS+=($!)
  eval "PID_$n=$!"
  wait_for "$WORK/$n.log" "redis: ready"
  wait_for "$WORK/$n.log" "^listening on "
done
PA=$(port_of "$WORK/a.log")
PB=$(port_of "$WORK/b.log")

mkfifo "$WORK/stop"
"$BUILD/bench/server/crw_cluster_bench" "$RP" "$PA" "$PB" "$LISTED" <"$WORK/stop" >"$WORK/bench.out" 2>"$WORK/bench.err" &
PIDS+=($!)
exec 3>"$WORK/stop" # holds the feeder open until the throughput runs are done
for _ in $(seq 1200); do grep -q "^listed:" "$WORK/bench.out" && break; sleep 0.1; done
grep -q "^listed:" "$WORK/bench.out" || { cat "$WORK/bench.out" "$WORK/bench.err" >&2; exit 1; }
grep -v "^listed:" "$WORK/bench.out"
cat "$WORK/bench.err"

rps() { awk '/Requests\/sec/ {print $2}' "$1"; }
wrk -t2 -c32 -d"${DURATION}s" "http://127.0.0.1:$PA/list" >"$WORK/one.txt"
wrk -t1 -c16 -d"${DURATION}s" "http://127.0.0.1:$PA/list" >"$WORK/both-a.txt" &
W=$!
wrk -t1 -c16 -d"${DURATION}s" "http://127.0.0.1:$PB/list" >"$WORK/both-b.txt"
wait "$W"
echo
echo "| \"/list\" with $LISTED listed (wrk, ${DURATION} s) | requests/s |"
echo "|---|---|"
echo "| one node (-t2 -c32) | $(rps "$WORK/one.txt") |"
echo "| two nodes at once (-t1 -c16 each): A + B | $(rps "$WORK/both-a.txt") + $(rps "$WORK/both-b.txt") |"
echo "| resident memory of node A | $(ps -o rss= -p "$PID_a" | awk '{printf "%.0f MB", $1/1024}') |"
exec 3>&-
