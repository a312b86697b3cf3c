#!/usr/bin/env bash
# Runs the program on a private X server with a tray host and captures the whole screen
# with the tray icon and a balloon into <build>/screenshots/desktop-tray-balloon.png, then
# the main window with a card into docs/main-window.png.
# The program gets a private profile (no splash, no wait for the smart-card service) and
# private data and runtime folders: beside the user's own running program it neither
# touches the user's certificate store nor hands over to that program.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TVR_BUILD_DIR:-$ROOT/build}"
PROGRAM="$BUILD/app/ui/kelmardin"
OUT="$BUILD/screenshots"
if [ ! -x "$PROGRAM" ] || [ ! -x "$BUILD/tests/app/ui/program_road_tests" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$BUILD" -j4 --target kelmardin program_road_tests
fi
mkdir -p "$OUT"
WORK="$(mktemp -d)"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

# A private display.
exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 2>"$WORK/xvfb.log" &
PIDS+=($!)
for _ in $(seq 1 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
exec 3>&-
export DISPLAY=":$(cat "$WORK/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

trayer --edge top --align right --widthtype pixel --width 120 --height 24 &
PIDS+=($!)
sleep 1

mkdir -p "$WORK/config/Tavrenic" "$WORK/runtime" "$WORK/data"
chmod 700 "$WORK/runtime" "$WORK/data"
cat >"$WORK/config/Tavrenic/kelmardin.conf" <<'CONF'
"Language"="HUN"
"ShowSplashScreen"=dword:00000000
"WaitForSCardSvr"=dword:00000000
"WaitForSCardSvr2"=dword:00000000
CONF
XDG_CONFIG_HOME="$WORK/config" XDG_RUNTIME_DIR="$WORK/runtime" XDG_DATA_HOME="$WORK/data" \
  TVR_SYSTEM_CONFIG_DIR="$WORK/config" "$PROGRAM" >"$WORK/program.log" 2>&1 &
PIDS+=($!)

# The main window, then its close box: the close-or-hide question, answered "Elrejtés"
# (its default button), which hides the window and queues the "running in the
# background" balloon.
timeout 30 xdotool search --sync --onlyvisible --name '^TAVRENIC - Olvanta Zavadorerido$' >/dev/null
# Let the window settle (Qt may re-create it once the tray icon is docked).
sleep 2
# Qt also names its group-leader window; the one to close takes WM_DELETE_WINDOW.
WINDOW=""
for w in $(xdotool search --name '^TAVRENIC - Olvanta Zavadorerido$'); do
  if xprop -id "$w" WM_PROTOCOLS 2>/dev/null | grep -q WM_DELETE_WINDOW; then WINDOW="$w"; fi
done
[ -n "$WINDOW" ] || { echo "screenshots.sh: the main window did not appear" >&2; cat "$WORK/program.log" >&2; exit 1; }
/usr/bin/python3 - "$WINDOW" <<'PY'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]
class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
d = x.XOpenDisplay(None)
window = int(sys.argv[1])
e = Event()
e.xclient.type = 33  # ClientMessage
e.xclient.window = window
e.xclient.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
e.xclient.format = 32
e.xclient.data[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
e.xclient.data[1] = 0  # CurrentTime
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XSendEvent(d, window, 0, 0, ctypes.byref(e))
x.XFlush.argtypes = [ctypes.c_void_p]
x.XFlush(d)
PY
QUESTION="$(timeout 10 xdotool search --sync --onlyvisible --name 'elrejt' | head -1)"
xdotool windowfocus --sync "$QUESTION" key Return
# The balloon timer shows it within three seconds.
sleep 4
import -window root "$OUT/desktop-tray-balloon.png"
echo "$OUT/desktop-tray-balloon.png"

# The main window with a card connected: the program itself on a private X server, with
# a card in the virtual reader of a private pcscd (the test needs root for that; without
# it the test skips). The picture is the README's docs/main-window.png.
TESTS="$BUILD/tests/app/ui/program_road_tests"
if [ -x "$TESTS" ]; then
  "$TESTS" --gtest_filter='*MainWindowWithACardOnTheDesktop*' >"$WORK/tests.log" 2>&1 ||
    { cat "$WORK/tests.log" >&2; exit 1; }
  if [ -f "$OUT/program-main-window.png" ]; then
    cp "$OUT/program-main-window.png" "$ROOT/docs/main-window.png"
    echo "$OUT/program-main-window.png -> $ROOT/docs/main-window.png"
  else
    echo "screenshots.sh: no main-window picture (the PC/SC rig needs root):" >&2
    grep -i skip "$WORK/tests.log" >&2 || true
  fi
fi
