#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan+UBSan) in build-fuzz and runs
# each fuzz_* target for the given seconds (default 15) on a copy of its seeds
# in tests/fuzz/corpus/<target>/, one target per core at a time
# (CRW_FUZZ_JOBS). Exits non-zero when a target finds a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-15}"

CRW_WITH_FUZZ=1 scripts/install-deps.sh

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-fuzz -DCRW_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j"${CRW_JOBS:-2}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/artifacts
failed=0
mapfile -t targets < <(find build-fuzz -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets built" >&2
  exit 1
fi
# docs/fuzzing.md's table of targets must name exactly what runs here.
documented="$(sed -n '/^| Target | Drives/,/^$/p' docs/fuzzing.md | grep -o '^| `fuzz_[a-z0-9_]*`' | tr -d '|` ' | sort)"
built="$(printf '%s\n' "${targets[@]##*/}" | sort)"
if [ "$documented" != "$built" ]; then
  echo "docs/fuzzing.md's targets differ from those built (< documented, > built):" >&2
  diff <(echo "$documented") <(echo "$built") | grep '^[<>]' >&2
  exit 1
fi
# Each target runs on one core for the given time; CRW_FUZZ_JOBS of them at once (default: one per core).
fuzz_one() {
  local exe="$1" name corpus seeds
  name="$(basename "$exe")"
  corpus="$work/$name"
  mkdir -p "$corpus"
  seeds="tests/fuzz/corpus/$name"
  [ -d "tests/fuzz/server/corpus/$name" ] && seeds="tests/fuzz/server/corpus/$name"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  # No leak checks: the targets keep one plug-in object alive on purpose.
  if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -detect_leaks=0 -artifact_prefix="build-fuzz/artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1; then
    runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name.log" | grep -o '[0-9]*$' || echo '?')"
    echo "$name: clean, $runs executions in ${seconds}s" >"$work/$name.result"
  else
    { echo "$name: FAILED (artifacts in build-fuzz/artifacts/)"; tail -n 40 "$work/$name.log"; } >"$work/$name.result"
  fi
}
parallel="${CRW_FUZZ_JOBS:-$(nproc)}"
for exe in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do
    wait -n || true
  done
  fuzz_one "$exe" &
done
wait || true
for exe in "${targets[@]}"; do
  result="$work/$(basename "$exe").result"
  if [ -f "$result" ]; then cat "$result"; else echo "$(basename "$exe"): no result" && failed=1; fi
  if grep -q "^$(basename "$exe"): FAILED" "$result" 2>/dev/null; then failed=1; fi
done
exit "$failed"
