#!/usr/bin/env bash
# Installs what is missing, builds, and starts the sandbox host with an embedded server.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
echo "The sandbox host is not built yet; the plug-in library is build/plugin/libcrw.so."
