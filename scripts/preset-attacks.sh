#!/usr/bin/env bash
# Runs each hostile preset layout through the sandbox with its script
# (host/attacks/preset-*.txt): the run must pass, and nothing may appear
# outside the data folder. Usage: scripts/preset-attacks.sh [path/to/crw-sandbox]
set -euo pipefail
cd "$(dirname "$0")/.."
exe="${1:-build/host/crw-sandbox}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0

# lay NAME: a fresh data folder for attack NAME, its presets folder in $presets.
lay() {
  data="$work/$1"
  presets="$data/CRW/presets"
  mkdir -p "$presets"
}

run() {
  local name="$1" start=$SECONDS
  if "$exe" --headless --no-embedded-server --data-dir "$data" --script "host/attacks/preset-$name.txt" \
    >"$work/$name.log" 2>&1; then
    echo "preset-$name: passed ($((SECONDS - start)) s)"
  else
    echo "preset-$name: FAILED"
    cat "$work/$name.log"
    failed=1
  fi
}

lay deep
{ printf '{"a":%.0s' {1..1001}; printf 1; printf '}%.0s' {1..1001}; } >"$presets/deep.json"
run deep

lay hidden-depth
{ printf '/*"*/'; printf '[%.0s' {1..900}; printf ']%.0s' {1..900}; } >"$presets/hidden.json"
run hidden-depth

lay sparse
truncate -s 2G "$presets/sparse.json"
run sparse

lay rows
rows="$(printf '{"name":"r%d","enabled":true},' {1..1000})"
rows="${rows%,}"
printf '{"playlists":[%s],"regions":[%s],"languages":[%s]}' "$rows" "$rows" "$rows" >"$presets/rows.json"
run rows

lay devices
echo '{}' >"$presets/good.json"
mkfifo "$presets/fifo.json"
ln -s /dev/zero "$presets/zero.json"
run devices

lay dangling
ln -s "$work/outside/dangling.json" "$presets/dangling.json"
mkdir -p "$work/outside"
run dangling
if [ -e "$work/outside/dangling.json" ] || [ ! -L "$presets/dangling.json" ]; then
  echo "preset-dangling: FAILED (the link's target was created or the link replaced)"
  failed=1
fi

exit "$failed"
