#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test three times:
# a normal build (build/), AddressSanitizer with UndefinedBehaviorSanitizer
# (build-asan/) and ThreadSanitizer (build-tsan/). Then the Windows compile
# check, the Windows tests under Wine and short fuzzing runs, when those
# scripts are there.
# CRW_SANITIZE=none|address|thread runs one variant only.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs="$(nproc)"
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# A sanitizer report fails the test that caused it.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

run_variant() {
    local san="$1" build="build${1:+-$1}" extra=()
    # The benchmarks measure the normal build only.
    [ -n "$san" ] && extra=(-DCRW_BUILD_BENCH=OFF)
    echo "=== ${san:-normal} build in $build/ ==="
    local start=$SECONDS
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRW_SANITIZE="$san" "${launcher[@]}" "${extra[@]}" \
        >/dev/null
    cmake --build "$build" -j"$jobs"
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
    echo "=== ${san:-normal}: passed in $((SECONDS - start)) s ==="
}

case "${CRW_SANITIZE-all}" in
    all) variants=("" address thread) ;;
    none | "") variants=("") ;;
    address | thread) variants=("$CRW_SANITIZE") ;;
    *) echo "CRW_SANITIZE must be none, address or thread" >&2; exit 2 ;;
esac
for san in "${variants[@]}"; do
    run_variant "$san"
done

if [ "${CRW_SANITIZE-all}" = all ]; then
    if [ -x scripts/windows-check.sh ]; then
        echo "=== Windows compile check ==="
        ./scripts/windows-check.sh
    fi
    # crw.dll and the plug-in's tests built with MinGW-w64 and run under
    # wine64 (build-win/); says so and skips when Wine is missing.
    if [ -x scripts/wine-test.sh ]; then
        echo "=== Windows tests under Wine ==="
        ./scripts/wine-test.sh
    fi
    if [ -x scripts/fuzz.sh ]; then
        echo "=== fuzzing, 15 s a target ==="
        ./scripts/fuzz.sh 15
    fi
fi
