#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# CRW_SANITIZE=address|thread builds a sanitizer variant in its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
san="${CRW_SANITIZE:-}"
build="build${san:+-$san}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRW_SANITIZE="$san" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300
