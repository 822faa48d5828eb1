#!/usr/bin/env bash
# Builds the plug-in for 64-bit Windows with MinGW-w64 in build-win/ (crw_core,
# crw.dll, the test host and the plug-in's tests) and runs those tests under
# wine64, headless, in a Wine prefix of its own. Servers the tests talk to run
# on loopback.
#
# JsonCpp (from Debian's source package) and GoogleTest (from /usr/src/googletest)
# are built once with the same compiler into a cache folder outside the build
# ($CRW_WIN_DEPS, default ~/.cache/crewfinder/mingw-w64), so later runs only
# build the project. Extra arguments go to ctest (e.g. -R Config).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

wine="${CRW_WINE:-/usr/lib/wine/wine64}"
if [ ! -x "$wine" ]; then
    echo "wine-test: skipped, $wine not found (package wine64)"
    exit 0
fi
for tool in x86_64-w64-mingw32-g++-posix dpkg-source; do
    if ! command -v "$tool" >/dev/null; then
        echo "wine-test: $tool not found; run scripts/install-deps.sh" >&2
        exit 2
    fi
done

build="${CRW_WIN_BUILD:-$root/build-win}"
deps="${CRW_WIN_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/crewfinder/mingw-w64}"
toolchain="$root/cmake/MinGW-w64.cmake"
jobs="${CRW_JOBS:-$(nproc)}"
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
start=$SECONDS

# --- libraries, built once per compiler and package version -------------------
gcc_version="$(x86_64-w64-mingw32-g++-posix -dumpfullversion)"
gtest_version="$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || echo unknown)"
jsoncpp_version="$(dpkg-query -W -f='${Version}' libjsoncpp-dev 2>/dev/null || echo unknown)"
stamp="gcc $gcc_version, googletest $gtest_version, jsoncpp $jsoncpp_version"
prefix="$deps/prefix"

# Debian's source packages need a deb-src entry; added once, beside the
# system's own list, only when JsonCpp has to be fetched.
ensure_deb_src() {
    if apt-get source --print-uris libjsoncpp-dev >/dev/null 2>&1; then
        return
    fi
    local list=/etc/apt/sources.list.d/crewfinder-deb-src.sources sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    if [ ! -e "$list" ]; then
        echo "wine-test: adding Debian's source packages ($list)"
        printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
            "Suites: bookworm bookworm-updates" "Components: main" \
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $sudo tee "$list" >/dev/null
    fi
    $sudo apt-get update -qq
}

build_deps() {
    echo "=== Windows libraries into $deps ==="
    rm -rf "$deps"
    mkdir -p "$deps/src"
    local common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix"
        "${launcher[@]}")

    ensure_deb_src
    (cd "$deps/src" && apt-get source -qq libjsoncpp-dev >/dev/null)
    local jsrc
    jsrc="$(find "$deps/src" -mindepth 1 -maxdepth 1 -type d -name 'libjsoncpp-*' | head -1)"
    cmake -S "$jsrc" -B "$deps/build-jsoncpp" "${common[@]}" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
        -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
        -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_EXAMPLE=OFF >/dev/null
    cmake --build "$deps/build-jsoncpp" -j"$jobs" --target install >/dev/null

    cmake -S /usr/src/googletest -B "$deps/build-gtest" "${common[@]}" -DBUILD_GMOCK=OFF >/dev/null
    cmake --build "$deps/build-gtest" -j"$jobs" --target install >/dev/null

    rm -rf "$deps/src" "$deps/build-jsoncpp" "$deps/build-gtest"
    echo "$stamp" >"$deps/stamp"
}

if [ "$(cat "$deps/stamp" 2>/dev/null)" != "$stamp" ]; then
    build_deps
fi

# --- Wine: the build already runs the tests to list them -------------------------
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko prompt in a fresh prefix
unset DISPLAY WAYLAND_DISPLAY
# MinGW's runtime DLLs, found by the programs through Wine's search path
# (Wine's drive Z: is the Unix root).
dos() { echo "Z:${1//\//\\}"; }
libgcc_dir="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
export WINEPATH="$(dos "$libgcc_dir");$(dos /usr/x86_64-w64-mingw32/lib)"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "=== new Wine prefix in ${WINEPREFIX#"$root"/}/ ==="
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
fi
# One wineserver for the whole run instead of one per test process; stopped
# at the end (it serves this prefix only).
"${wine%/*}/wineserver" -p || true # one may be up already (it then stays a few seconds)
trap '"${wine%/*}/wineserver" -k 2>/dev/null || true' EXIT
# Wine's own services start with the first program and would inherit its
# output pipe; started here, ctest's listing of a test program is not left
# waiting for the pipe to close.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

# --- the project ----------------------------------------------------------------
echo "=== Windows build in ${build#"$root"/}/ ==="
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
    -DCRW_WIN_DEPS="$prefix" -DCRW_IMGUI_DIR="${CRW_IMGUI_DIR:-$root/../shared/imgui-1.75-host}" >/dev/null
cmake --build "$build" -j"$jobs"

ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 120 "$@"
echo "=== Windows tests under Wine: passed in $((SECONDS - start)) s ==="
