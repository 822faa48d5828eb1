#!/usr/bin/env bash
# Redis stalls while clients write: two crw-server nodes on a private Redis, 32 wrk connections sending
# "/UpdateRegistration" (each one a Redis round trip) to both nodes, then Redis paused for PAUSE seconds. During the
# pause (and for as long before it) fresh connections ask every node for "/CheckAPI" and "/list"; prints their latency (p50 / p99 / max, ms).
# Everything it starts is stopped at the end.
# usage: bench/server/stall.sh [BUILD_DIR]   (PAUSE=5 HOW=client-pause|sigstop; needs wrk and curl:
# CRW_WITH_BENCH=1 scripts/install-deps.sh)
set -euo pipefail
BUILD=${1:-build}
PAUSE=${PAUSE:-5}
HOW=${HOW:-client-pause}
command -v wrk >/dev/null || { echo "wrk is missing: CRW_WITH_BENCH=1 scripts/install-deps.sh" >&2; exit 1; }
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  [ -n "${RPID:-}" ] && kill -CONT "$RPID" 2>/dev/null || true
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
RPID=$!
PIDS+=("$RPID")
wait_for "$WORK/redis.log" "Ready to accept connections"

port_of() { sed -n 's/^listening on [^:]*:\([0-9]*\)$/\1/p' "$1" | head -1; }
PORTS=()
for n in a b; do
  "$BUILD/server/crw-server" --port 0 --redis "127.0.0.1:$RP" --node-id "$n" >"$WORK/$n.log" 2>&1 &
  PIDS+=($!)
  wait_for "$WORK/$n.log" "redis: ready"
  wait_for "$WORK/$n.log" "^listening on "
  PORTS+=("$(port_of "$WORK/$n.log")")
done

# The writers: an update of a registration nobody holds still runs its script in Redis.
cat >"$WORK/update.lua" <<'LUA'
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '{"Type":"Register", "Title":"Stall bench", "Creator":{"Name":"Bench", "IdString":"Steam|1|0"}, '
  .. '"Playlists":[{"Playlist":"Ranked-2v2", "MMR":"1000.0", "Range":"100"}], "Regions":["Europe"], '
  .. '"Languages":["Any"], "VoiceChat":"any"}'
LUA
# Probes until the pause ends: one fresh connection per request, every 20 ms for each node and path.
probe() { # SECONDS PREFIX: probes into PREFIX-check.txt and PREFIX-list.txt
python3 - "$1" "$2" "${PORTS[@]}" <<'PY'
import http.client, sys, time
pause, prefix, ports = float(sys.argv[1]), sys.argv[2], sys.argv[3:]
out = {"/CheckAPI": open(prefix + "-check.txt", "w"), "/list": open(prefix + "-list.txt", "w")}
end = time.monotonic() + pause - 0.1
while time.monotonic() < end:
    for port in ports:
        for path, f in out.items():
            t = time.perf_counter()
            try:
                c = http.client.HTTPConnection("127.0.0.1", int(port), timeout=30)
                c.request("GET", path)
                r = c.getresponse()
                r.read()
                ok = r.status == 200
                c.close()
            except OSError:
                ok = False
            f.write("%f\n" % (time.perf_counter() - t if ok else 99))
    time.sleep(0.02)
PY
}
WRITE=$((2 * PAUSE + 4))
for p in "${PORTS[@]}"; do
  wrk -t1 -c16 -d"${WRITE}s" -s "$WORK/update.lua" "http://127.0.0.1:$p/UpdateRegistration" >"$WORK/wrk-$p.txt" &
  PIDS+=($!)
done
sleep 1
probe "$PAUSE" "$WORK/before" # the same load with Redis answering

case "$HOW" in
  client-pause) redis-cli -p "$RP" CLIENT PAUSE $((PAUSE * 1000)) >/dev/null ;;
  sigstop) kill -STOP "$RPID" ;;
  *) echo "HOW is client-pause or sigstop" >&2; exit 1 ;;
esac
probe "$PAUSE" "$WORK/paused"
[ "$HOW" = sigstop ] && kill -CONT "$RPID"
wait "${PIDS[@]:$((${#PIDS[@]} - 2))}" 2>/dev/null || true

stats() { sort -g "$1" | awk '{ v[NR] = $1 * 1000 } END {
  i50 = int(NR * 0.5); if (i50 < 1) i50 = 1; i99 = int(NR * 0.99 + 0.999); if (i99 > NR) i99 = NR
  printf "%d | %.2f | %.2f | %.2f", NR, v[i50], v[i99], v[NR] }'; }
echo "| 32 writers; fresh connection, both nodes | probes | p50 ms | p99 ms | max ms |"
echo "|---|---|---|---|---|"
echo "| \"/CheckAPI\", Redis answering | $(stats "$WORK/before-check.txt") |"
echo "| \"/CheckAPI\", Redis paused ${PAUSE} s ($HOW) | $(stats "$WORK/paused-check.txt") |"
echo "| \"/list\", Redis answering | $(stats "$WORK/before-list.txt") |"
echo "| \"/list\", Redis paused ${PAUSE} s ($HOW) | $(stats "$WORK/paused-list.txt") |"
for p in "${PORTS[@]}"; do
  echo "writers on :$p: $(awk '/requests in/ {print $1, "requests"} /Non-2xx/ {print $NF, "non-2xx"}' "$WORK/wrk-$p.txt" | paste -sd' ')"
done
grep -h "redis:" "$WORK/a.log" "$WORK/b.log" | sort | uniq -c || true
