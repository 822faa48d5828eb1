#!/usr/bin/env bash
# Server benchmark: starts crw-server on a free loopback port, measures it with wrk and crw_ws_load, prints one
# table and stops everything it started. Usage: bench/server/run.sh [BUILD_DIR]   (needs wrk: CRW_WITH_BENCH=1
# scripts/install-deps.sh). Load players come from 127.1.x.y, one address each; wrk from 127.0.0.1.
set -euo pipefail
BUILD=${1:-build}
SERVER=$BUILD/server/crw-server
LOAD=$BUILD/bench/server/crw_ws_load
DURATION=${CRW_BENCH_SECONDS:-10}
command -v wrk >/dev/null || { echo "wrk is missing: CRW_WITH_BENCH=1 scripts/install-deps.sh" >&2; exit 1; }
OUT=$(mktemp -d)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; rm -rf "$OUT"; }
trap cleanup EXIT

"$SERVER" --port 0 --max-connections 12000 --network-bits-v4 32 > "$OUT/server.log" 2>&1 &
SERVER_PID=$!
PIDS+=("$SERVER_PID")
for _ in $(seq 50); do grep -q "listening on" "$OUT/server.log" && break; sleep 0.1; done
PORT=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$OUT/server.log")

rps() { wrk -t2 -c32 -d"${DURATION}s" "http://127.0.0.1:$PORT$1" | awk '/Requests\/sec/ {print $2}'; }
# Starts crw_ws_load with $1 players and waits for its figures; it holds them for $2 seconds.
hold() {
  "$LOAD" --port "$PORT" --pid "$SERVER_PID" --players "$1" --hold "$2" > "$OUT/load$1.txt" 2>&1 &
  PIDS+=("$!")
  for _ in $(seq 3000); do grep -q "^ready" "$OUT/load$1.txt" && return 0; sleep 0.1; done
  echo "load client did not finish" >&2; cat "$OUT/load$1.txt" >&2; exit 1
}
field() { sed -n "s/.*$2 \([0-9.]*\).*/\1/p" "$1" | head -1; }

CHECK=$(rps /CheckAPI)
hold 1000 $((DURATION + 5))
LIST1K=$(rps /list)
wait "${PIDS[-1]}" || true
hold 10000 $((DURATION + 5))
LIST10K=$(rps /list)
L=$OUT/load10000.txt

echo "| measure | figure |"
echo "|---|---|"
echo "| /CheckAPI requests/s (wrk -t2 -c32) | $CHECK |"
echo "| /list requests/s, 1,000 listed | $LIST1K |"
echo "| /list requests/s, 10,000 listed | $LIST10K |"
echo "| WebSockets held (listed) | $(sed -n 's/^players [0-9]* listed \([0-9]*\).*/\1/p' "$L") of 10000 |"
echo "| resident memory per listed player | $(sed -n 's/.*-> \([0-9.]*\) kB.*/\1/p' "$L") kB |"
echo "| register-to-listed latency p50 / p99 | $(field "$L" p50) / $(field "$L" p99) ms |"
echo "| fresh /CheckAPI with 10,000 held, p50 / max | $(sed -n 's/.*answered.* p50 \([0-9.]*\) max \([0-9.]*\)/\1 \/ \2/p' "$L") ms |"
echo
echo "load client, 1,000:"; cat "$OUT/load1000.txt"
echo "load client, 10,000:"; cat "$L"
