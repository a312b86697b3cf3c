#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TVR_BUILD_DIR:-$ROOT/build}"
bash "$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVR_BUILD_TESTS=OFF -DTVR_BUILD_BENCH=OFF
cmake --build "$BUILD" -j "$(nproc)"
if [ -x "$BUILD/app/ui/kelmardin" ]; then
  exec "$BUILD/app/ui/kelmardin" "$@"
fi
echo "kelmardin: the application itself is not built yet; the libraries and their tests are (see scripts/test.sh)." >&2
exit 1
