#!/usr/bin/env bash
# Fault injection against a three-node cluster on a private redis-server, all on loopback (127.0.0.0/8): simulated
# players register, claim from their own address, update through any node, invite, close and come back while faults
# run; after each schedule every node's "/list" is checked against the players' open sockets. Exits non-zero on a
# violation. Everything it starts is stopped at the end; the nodes' logs are kept in the printed folder.
# usage: bench/server/faults.sh [--ci] [BUILD_DIR] [crw_faults options: --schedules N --players N --seed N]
#   --ci   every kind of fault once, within two minutes
#   (none) 50 schedules of one to three faults each (about half an hour)
set -euo pipefail
ARGS=()
BUILD=build
for a in "$@"; do
  case "$a" in
    --ci) ARGS+=(--ci) ;;
    -*) ARGS+=("$a") ;;
    *) if [ -d "$a/server" ]; then BUILD=$a; else ARGS+=("$a"); fi ;;
  esac
done
for t in server/crw-server bench/server/crw_faults; do
  [ -x "$BUILD/$t" ] || { echo "missing $BUILD/$t: cmake --build $BUILD --target crw-server crw_faults" >&2; exit 2; }
done
LOGS=$(mktemp -d /tmp/crw-faults.XXXXXX)
echo "logs: $LOGS"
exec "$BUILD/bench/server/crw_faults" --server "$BUILD/server/crw-server" --logs "$LOGS" "${ARGS[@]}"
