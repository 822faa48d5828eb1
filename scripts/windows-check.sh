#!/usr/bin/env bash
# Compiles every plug-in source for 64-bit Windows with MinGW-w64, syntax
# only, against sdk/ and two ImGui versions: Debian's headers (1.86) and the
# host's own 1.75 (../shared/imgui-1.75-host, or CRW_HOST_IMGUI_DIR), when
# that folder is there. So nothing POSIX-only, no missing prelude and nothing
# only one ImGui accepts slips in. Exits non-zero when a source fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx="${CRW_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}"
if ! command -v "$cxx" >/dev/null; then
  echo "windows-check: $cxx not found (package g++-mingw-w64-x86-64-posix)" >&2
  exit 2
fi

# The libraries' headers live straight in /usr/include beside glibc's; the
# cross compiler must see them but not glibc, so it gets a folder of links.
inc="$(mktemp -d)"
trap 'rm -rf "$inc"' EXIT
for d in boost fmt websocketpp; do ln -s "/usr/include/$d" "$inc/$d"; done
ln -s /usr/include/jsoncpp/json "$inc/json"

flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Wno-unused-parameter
  -D_WEBSOCKETPP_CPP11_STL_ -D_WIN32_WINNT=0x0601 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DCRW_SERVER_ADDRESS=\"127.0.0.1\"
  -I. -Isdk/include -isystem "$inc")

# ImGui folders to compile against: "label=folder".
imguis=("ImGui 1.86=/usr/include/imgui")
host_imgui="${CRW_HOST_IMGUI_DIR:-../shared/imgui-1.75-host}"
if [ -f "$host_imgui/imgui.h" ]; then
  imguis+=("the host's ImGui 1.75=$host_imgui")
else
  echo "windows-check: $host_imgui not found: not compiled against the host's ImGui 1.75"
fi

# One compile per core at a time (CRW_JOBS); each writes its verdict to a file of its own.
out="$(mktemp -d)"
trap 'rm -rf "$inc" "$out"' EXIT
check_one() { # LABEL_INDEX FOLDER SOURCE
  local log="$out/$1-${3//\//_}"
  if "$cxx" "${flags[@]}" -isystem "$2" "$3" >"$log.log" 2>&1; then
    touch "$log.ok"
  fi
}
parallel="${CRW_JOBS:-$(nproc)}"
sources=(plugin/*.cpp net/*.cpp matching/*.cpp ui/*.cpp)
for i in "${!imguis[@]}"; do
  for src in "${sources[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do
      wait -n || true
    done
    check_one "$i" "${imguis[$i]#*=}" "$src" &
  done
done
wait || true

failed=0
for i in "${!imguis[@]}"; do
  label="${imguis[$i]%%=*}"
  count=0
  passFailed=0
  for src in "${sources[@]}"; do
    count=$((count + 1))
    first="$(grep -m1 '^#include' "$src" || true)"
    log="$out/$i-${src//\//_}"
    if [ "$first" != '#include "plugin/Prelude.h"' ]; then
      echo "windows-check: $src: the first include must be \"plugin/Prelude.h\"" >&2
      passFailed=$((passFailed + 1))
    elif [ ! -f "$log.ok" ]; then
      cat "$log.log" >&2
      echo "windows-check: $src does not compile for Windows against $label" >&2
      passFailed=$((passFailed + 1))
    else
      cat "$log.log"
    fi
  done
  echo "windows-check: $((count - passFailed)) of $count plug-in sources compile for 64-bit Windows against $label"
  failed=$((failed + passFailed))
done
[ "$failed" -eq 0 ]
