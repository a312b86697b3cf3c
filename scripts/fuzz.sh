#!/usr/bin/env bash
# Runs the fuzz targets of fuzz/ for real with libFuzzer (clang), all in parallel by default.
# Usage: scripts/fuzz.sh [target|all] [seconds per target, default 600]
#   TVR_FUZZ_JOBS=n      run at most n targets at a time (default: all at once)
#   TVR_FUZZ_BUILD_DIR   the clang build folder (default build-fuzz)
# Inputs that reach new code are kept in build-fuzz/fuzz-work/<target>/ between runs.
# An input that makes a target fail (crash, sanitizer report, failed check, time-out) is
# copied into fuzz/corpus/<target>/ so that the normal tests replay it from then on; the
# script then ends with status 1 and names the inputs.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TVR_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
TARGET="${1:-all}"
SECONDS_PER_TARGET="${2:-600}"

if ! command -v clang++ >/dev/null; then
  echo "clang++ not found; scripts/install-deps.sh installs it" >&2
  exit 2
fi
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
  -DTVR_FUZZ_ENGINE=ON -DTVR_BUILD_TESTS=OFF -DTVR_BUILD_BENCH=OFF >/dev/null
if [ "$TARGET" = all ]; then
  cmake --build "$BUILD" -j "$(nproc)" --target fuzz_all
  mapfile -t targets < <(cd "$ROOT/fuzz/targets" && ls *.cpp | sed 's/\.cpp$//')
else
  cmake --build "$BUILD" -j "$(nproc)" --target "fuzz_$TARGET"
  targets=("$TARGET")
fi
JOBS="${TVR_FUZZ_JOBS:-${#targets[@]}}"

run_one() {
  local name="$1" work="$BUILD/fuzz-work/$1" findings="$BUILD/fuzz-findings/$1"
  mkdir -p "$work" "$findings"
  local dict=()
  [ -f "$ROOT/fuzz/dict/$name.dict" ] && dict=(-dict="$ROOT/fuzz/dict/$name.dict")
  # New inputs go to the work folder; the committed corpus is only read.
  "$BUILD/fuzz/fuzz_$name" "$work" "$ROOT/fuzz/corpus/$name" "${dict[@]}" \
    -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$findings/" -print_final_stats=1 \
    >"$BUILD/fuzz-work/$name.log" 2>&1 || true
  local found=0
  for f in "$findings"/*; do
    [ -f "$f" ] || continue
    cp "$f" "$ROOT/fuzz/corpus/$name/"
    echo "FINDING $name: fuzz/corpus/$name/$(basename "$f")"
    found=1
  done
  rm -f "$findings"/*
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/fuzz-work/$name.log" | grep -o '[0-9]*$' || echo '?')
  echo "$name: $execs runs, $( ls "$work" | wc -l ) inputs in the work corpus$( [ $found = 1 ] && echo ', FAILED' )"
}
export -f run_one
export BUILD ROOT SECONDS_PER_TARGET

printf '%s\n' "${targets[@]}" | xargs -P "$JOBS" -I{} bash -c 'run_one "$@"' _ {} | tee "$BUILD/fuzz-summary-$TARGET.txt"
if grep -q "^FINDING" "$BUILD/fuzz-summary-$TARGET.txt"; then
  echo "Findings were copied into fuzz/corpus/; rerun one with build/fuzz/fuzz_<target>_replay <file>." >&2
  exit 1
fi
