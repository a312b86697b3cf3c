#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
# Usage: scripts/test.sh [extra ctest arguments, e.g. -L token]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TVR_BUILD_DIR:-$ROOT/build}"
JOBS="$(nproc)"
bash "$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${TVR_CMAKE_ARGS:-}
cmake --build "$BUILD" -j "$JOBS"
cd "$BUILD"
# Tests bound their own waits; the time-out is a last resort against a hang.
ctest --output-on-failure -j "$JOBS" --timeout 300 "$@"
