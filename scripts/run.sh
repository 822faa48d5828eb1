#!/usr/bin/env bash
# Installs what is missing, builds, and starts the sandbox host: the plug-in's
# window open, an embedded matchmaking server with demo searchers on
# 127.0.0.1:3000 (unless one already listens there). Extra arguments go to
# crw-sandbox (see docs/sandbox.md), e.g. ./scripts/run.sh --name Ana --mmr 11=1400
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target crw-sandbox -j"$(nproc)"
exe=build/host/crw-sandbox

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe" --data-dir sandbox-data "$@"
fi

echo "No display found: running a short headless tour instead of opening a window."
status=0
"$exe" --headless --data-dir sandbox-data --script host/tour.txt "$@" || status=$?
cat <<'TEXT'

To see the window, run this on a desktop, or under a virtual display:
  CRW_WITH_XVFB=1 ./scripts/install-deps.sh
  xvfb-run -a -s "-screen 0 1920x1080x24" build/host/crw-sandbox --script host/tour.txt --screenshot shot.png
TEXT
exit "$status"
