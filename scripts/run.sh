#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it (arguments go to the program,
# e.g. /system_tray to start in the notification area).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TVR_BUILD_DIR:-$ROOT/build}"
bash "$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$(nproc)" --target kelmardin
exec "$BUILD/app/ui/kelmardin" "$@"
