#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test three times:
# a normal build (build/), AddressSanitizer with UndefinedBehaviorSanitizer
# (build-asan/) and ThreadSanitizer (build-tsan/); the plug-in's and UI tests
# once more against the host's ImGui 1.75 (build-imgui175/). Then the Windows
# compile check, the Windows tests under Wine and short fuzzing runs, when
# those scripts are there.
# CRW_SANITIZE=none|address|thread runs one variant only.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs="$(nproc)"
# Most tests wait on sockets, servers and time-outs rather than on the CPU: twice as many run at once as there
# are cores (CRW_CTEST_JOBS).
ctest_jobs="${CRW_CTEST_JOBS:-$((jobs * 2))}"
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
    # The benchmarks measure the normal build only. The sanitizer builds compile at -O1 with line tables only
    # (-g1): reports still name function, file and line, and the compiler does about half the work.
    [ -n "$san" ] && extra=(-DCRW_BUILD_BENCH=OFF "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
        "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
    echo "=== ${san:-normal} build in $build/ ==="
    local start=$SECONDS
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRW_SANITIZE="$san" "${launcher[@]}" "${extra[@]}" \
        >/dev/null
    cmake --build "$build" -j"$jobs"
    ctest --test-dir "$build" --output-on-failure -j"$ctest_jobs" --timeout 300
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

# The cluster under faults, short schedule (normal build only, two minutes at most).
case "${CRW_SANITIZE-all}" in
    all | none | "")
        if command -v redis-server >/dev/null 2>&1; then
            echo "=== fault harness, short schedule ==="
            cmake --build build -j"$jobs" --target crw-server crw_faults
            bench/server/faults.sh --ci build
        else
            echo "=== fault harness: redis-server not found, skipped ==="
        fi
        ;;
esac

# The plug-in's and the UI's tests again, built against the host's own ImGui
# (1.75) instead of Debian's, in the normal variant only. Only those two test
# targets (and what they need) are built.
run_host_imgui() {
    local dir="${CRW_HOST_IMGUI_DIR:-../shared/imgui-1.75-host}" build=build-imgui175
    if [ ! -f "$dir/imgui.h" ]; then
        echo "=== host's ImGui: $dir not found, its tests are skipped ==="
        return
    fi
    echo "=== host's ImGui ($dir) in $build/ ==="
    local start=$SECONDS
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRW_IMGUI_DIR="$dir" -DCRW_BUILD_BENCH=OFF \
        -DCRW_BUILD_SANDBOX=OFF -DCRW_BUILD_SERVER=OFF "${launcher[@]}" >/dev/null
    cmake --build "$build" -j"$jobs" --target crw_plugin_tests crw_ui_tests
    "$build/tests/plugin/crw_plugin_tests"
    "$build/tests/ui/crw_ui_tests"
    echo "=== host's ImGui: passed in $((SECONDS - start)) s ==="
}
case "${CRW_SANITIZE-all}" in
    all | none | "") run_host_imgui ;;
esac

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
        echo "=== fuzzing, 15 s a target, one per core at a time ==="
        ./scripts/fuzz.sh 15
    fi
fi
