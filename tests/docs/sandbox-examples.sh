#!/usr/bin/env bash
# Runs every sandbox script example of README.md and docs/*.md the way a reader would: each fenced block
# opened with "```sandbox-script [flags]" goes to crw-sandbox --headless on a fresh data folder, with the block's
# flags, against an embedded server on a free port; so does scripts/run.sh's tour (host/tour.txt). Blocks marked
# "window" (screenshots) run under xvfb-run when it is there and are skipped otherwise.
# usage: tests/docs/sandbox-examples.sh path/to/crw-sandbox [SOURCE_DIR]
set -uo pipefail
exe="$(realpath "${1:?usage: $0 path/to/crw-sandbox [SOURCE_DIR]}")"
src="$(realpath "${2:-$(dirname "$0")/../..}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# One line per block, "FILE:LINE<TAB>flags", and the block's steps in $work/N.txt.
n=0
index="$work/index"
: >"$index"
for doc in "$src"/README.md "$src"/docs/*.md; do
  awk -v out="$work" -v doc="${doc#"$src"/}" -v start="$n" '
    /^```sandbox-script/ { inside = 1; ++n; flags = $0; sub(/^```sandbox-script */, "", flags)
                           printf "%s:%d\t%s\n", doc, NR, flags; file = out "/" (start + n) ".txt"; printf "" > file; next }
    inside && /^```/     { inside = 0; close(file); next }
    inside               { print > file }
  ' "$doc" >>"$index"
  n=$(wc -l <"$index")
done
# The tour scripts/run.sh gives a newcomer without a display.
n=$((n + 1))
cp "$src/host/tour.txt" "$work/$n.txt"
printf 'host/tour.txt:1\t\n' >>"$index"
if [ "$n" -eq 1 ]; then
  echo "no sandbox-script blocks found under $src" >&2
  exit 1
fi

failed=0 i=0
while IFS=$'\t' read -r where flags; do
  i=$((i + 1))
  run=("$exe" --headless)
  read -ra extra <<<"$flags"
  if [ "${extra[0]:-}" = window ]; then
    extra=("${extra[@]:1}")
    if ! command -v xvfb-run >/dev/null; then
      echo "$where: skipped (needs a window; xvfb-run is missing)"
      continue
    fi
    # The X and OpenGL libraries keep a few allocations for the process's life: under LeakSanitizer a windowed run
    # would report them as ours. Headless runs still check for leaks.
    run=(env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" xvfb-run -a -s "-screen 0 1920x1080x24" "$exe" --exit)
  fi
  dir="$work/run$i"
  mkdir -p "$dir"
  if (cd "$dir" && timeout 120 "${run[@]}" --quiet --strict --data-dir "$dir/data" \
        --server "127.0.0.1:$(free_port)" "${extra[@]}" --script "$work/$i.txt") >"$work/$i.log" 2>&1; then
    echo "$where: passed"
  else
    echo "$where: FAILED"
    sed 's/^/    /' "$work/$i.log"
    failed=1
  fi
done <"$index"
exit "$failed"
