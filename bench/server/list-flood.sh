#!/usr/bin/env bash
# "/list" under a flood of the largest listings: ADDRS addresses (each on a /24 of its own) list PER listings each at
# the server's limits (a 127-byte title and a 256-byte name that JSON escapes, every playlist, region and language),
# after 20 ordinary players. Prints the answer's size and entries, the server's /metrics of it, and whether a headless
# sandbox refresh lists all 20 players. Starts crw-server on a free loopback port and stops what it started.
# Usage: bench/server/list-flood.sh [BUILD_DIR]   (ADDRS=150 PER=30 BUDGET=<bytes> to change the attack or budget)
set -euo pipefail
BUILD=${1:-build}
SERVER=$BUILD/server/crw-server
SANDBOX=$BUILD/host/crw-sandbox
ADDRS=${ADDRS:-150}
PER=${PER:-30}
OUT=$(mktemp -d)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; rm -rf "$OUT"; }
trap cleanup EXIT

"$SERVER" --port 0 --max-connections 12000 --metrics-bind 127.0.0.1:0 ${BUDGET:+--list-budget-bytes "$BUDGET"} > "$OUT/server.log" 2>&1 &
PIDS+=("$!")
for _ in $(seq 50); do grep -q "listening on" "$OUT/server.log" && break; sleep 0.1; done
PORT=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$OUT/server.log")
METRICS_PORT=$(sed -n 's/^metrics on port \([0-9]*\)$/\1/p' "$OUT/server.log")

# The flood client holds its sockets until its standard input closes.
mkfifo "$OUT/hold"
cat > "$OUT/flood.py" <<'PY'
import json, os, socket, sys, time
from concurrent.futures import ThreadPoolExecutor
port, addrs, per = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
PLAYLISTS = ["Ranked-2v2", "Ranked-3v3", "Casual-2v2", "Casual-3v3", "Tournament", "Rumble", "Dropshot", "Hoops",
             "Snowday", "Other"]
REGIONS = ["Europe", "US-East", "US-West", "Asia-SE Mainland", "Asia-SE Maritime", "Asia-East", "Middle-East",
           "Oceania", "South Africa", "South America", "India"]
LANGUAGES = ["Albanian", "Arabic", "Bulgarian", "Chinese", "Croatian", "Czech", "Danish", "Dutch", "English",
             "Estonian", "Finnish", "French", "German", "Greek", "Hungarian", "Indonesian", "Irish", "Italian",
             "Japanese", "Korean", "Lithuanian", "Macedonian", "Norwegian", "Polish", "Portuguese", "Romanian",
             "Russian", "Serbian", "Slovak", "Slovenian", "Spanish", "Swedish", "Thai", "Turkish", "Ukrainian",
             "Vietnamese"]

def body(title, name, ident, big):
    playlists = [{"Playlist": p, "MMR": "1000.0", "Range": "100"} for p in (PLAYLISTS if big else PLAYLISTS[:1])]
    return json.dumps({"Type": "Register", "Title": title, "Creator": {"Name": name, "IdString": ident},
                       "Playlists": playlists, "Regions": REGIONS if big else ["Europe"],
                       "Languages": LANGUAGES if big else ["Any"], "VoiceChat": "any"}).encode()

def connect(frm):
    s = socket.socket()
    s.bind((frm, 0))
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    return s

def read_head(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data

def register(frm, b):
    s = connect(frm)
    s.sendall(b"POST /register HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: application/json\r\n"
              b"Content-Length: %d\r\n\r\n" % len(b) + b)
    ok = read_head(s).startswith(b"HTTP/1.1 200")
    s.close()
    if not ok:
        return None
    s = connect(frm)
    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
    if not read_head(s).startswith(b"HTTP/1.1 101"):
        return None
    mask = os.urandom(4)
    head = bytes([0x81]) + (bytes([0x80 | 126]) + len(b).to_bytes(2, "big") if len(b) < 65536
                            else bytes([0x80 | 127]) + len(b).to_bytes(8, "big"))
    s.sendall(head + mask + bytes(c ^ mask[i % 4] for i, c in enumerate(b)))
    return s

held, failed = [], 0
for i in range(20):
    s = register("127.3.%d.1" % i, body("Ordinary duo", "Ordinary %d" % i, "Steam|%d|0" % (76561198000000000 + i), False))
    held.append(s) if s else None
    failed += s is None
    time.sleep(0.01)  # registration order is listing order

def flood(a):
    out = []
    frm = "127.%d.%d.1" % (10 + a // 250, a % 250)  # a /24 each
    for k in range(per):
        out.append(register(frm, body('"' * 127, '"' * 256, "Steam|flood%dx%d|0" % (a, k), True)))
    return out

start = time.time()
with ThreadPoolExecutor(16) as pool:
    for socks in pool.map(flood, range(addrs)):
        held += [s for s in socks if s]
        failed += sum(1 for s in socks if s is None)
print("flood: %d sockets held (20 players and the flood), %d refused, %.1f s" % (len(held), failed, time.time() - start), flush=True)
print("ready", flush=True)
sys.stdin.read()
PY
python3 "$OUT/flood.py" "$PORT" "$ADDRS" "$PER" > "$OUT/flood.txt" 2>&1 < "$OUT/hold" &
PIDS+=("$!")
exec 3> "$OUT/hold"
for _ in $(seq 3000); do grep -q "^ready" "$OUT/flood.txt" && break; sleep 0.1; done
grep -q "^ready" "$OUT/flood.txt" || { echo "flood client did not finish" >&2; cat "$OUT/flood.txt" >&2; exit 1; }
sleep 1 # the last claims

curl -s --noproxy "*" "http://127.0.0.1:$PORT/list" > "$OUT/list.json"
curl -s --noproxy "*" "http://127.0.0.1:$METRICS_PORT/metrics" > "$OUT/metrics.txt"
ENTRIES=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["Searchers"]))' "$OUT/list.json")
ORDINARY=$(grep -o '"Ordinary [0-9]*"' "$OUT/list.json" | sort -u | wc -l)

{ echo "find-timeout 1"; echo "click-if New Update/OK"; echo "find-timeout 5"; echo "click ##Refresh"
  for i in $(seq 0 19); do echo "wait-log Name : Ordinary $i 60"; done; } > "$OUT/refresh.txt"
REFRESH=failed
if [ -x "$SANDBOX" ] && "$SANDBOX" --headless --no-embedded-server --server "127.0.0.1:$PORT" \
     --data-dir "$OUT/sandbox" --script "$OUT/refresh.txt" > "$OUT/sandbox.txt" 2>&1 &&
   ! grep -q "Nobody listed" "$OUT/sandbox.txt"; then
  REFRESH="lists all 20 ordinary players"
fi

echo "| measure | figure |"
echo "|---|---|"
echo "| flood | $(sed -n 's/^flood: //p' "$OUT/flood.txt") |"
echo "| listed players (server) | $(sed -n 's/^crw_listed_players //p' "$OUT/metrics.txt") |"
echo "| /list bytes | $(stat -c %s "$OUT/list.json") (budget ${BUDGET:-7864320}) |"
echo "| /list entries | $ENTRIES |"
echo "| left out (crw_list_left_out) | $(sed -n 's/^crw_list_left_out //p' "$OUT/metrics.txt") |"
echo "| ordinary players in /list | $ORDINARY of 20 |"
echo "| sandbox refresh | $REFRESH |"
[ "$REFRESH" != failed ] || { echo "sandbox output (tail):"; tail -3 "$OUT/sandbox.txt" | cut -c1-200; }
