#!/usr/bin/env bash
# Fair share under a flood from many networks: 2,000 addresses (each in its own /24 of 127.0.0.0/8) fill the
# pending registrations and the connections, then 20 newcomers register while "/CheckAPI" is probed, then three
# networks flood one player with invites while a friend asks once a second. Usage: bench/server/fair.sh [BUILD_DIR]
# [ADDRESSES] [MAX_CONNECTIONS]. The server runs inside the bench process and stops with it.
set -euo pipefail
BUILD=${1:-build}
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
exec "$BUILD/bench/server/crw_fair_bench" "${2:-2000}" "${3:-3000}"
