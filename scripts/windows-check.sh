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

failed=0
for entry in "${imguis[@]}"; do
  label="${entry%%=*}"
  count=0
  passFailed=0
  for src in plugin/*.cpp net/*.cpp matching/*.cpp ui/*.cpp; do
    count=$((count + 1))
    first="$(grep -m1 '^#include' "$src" || true)"
    if [ "$first" != '#include "plugin/Prelude.h"' ]; then
      echo "windows-check: $src: the first include must be \"plugin/Prelude.h\"" >&2
      passFailed=$((passFailed + 1))
      continue
    fi
    if ! "$cxx" "${flags[@]}" -isystem "${entry#*=}" "$src"; then
      echo "windows-check: $src does not compile for Windows against $label" >&2
      passFailed=$((passFailed + 1))
    fi
  done
  echo "windows-check: $((count - passFailed)) of $count plug-in sources compile for 64-bit Windows against $label"
  failed=$((failed + passFailed))
done
[ "$failed" -eq 0 ]
