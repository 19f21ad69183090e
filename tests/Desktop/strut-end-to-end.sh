#!/usr/bin/env bash
# The strip's reserved band end to end (run under xvfb-run, 1280x800): with a window manager
# that honours struts (openbox), a maximised window covers the top of the screen before quillet
# runs; once the strip is up, its window carries _NET_WM_STRUT_PARTIAL and _NET_WM_STRUT for its
# 24-pixel band across the screen, the window manager's work area starts below it, and a window
# maximised then starts below the strip. Every wait is bounded.
# QUILLET_E2E_SHOTS=DIR keeps a screenshot there (needs imagemagick).
set -euo pipefail
QUILLET=${1:?usage: strut-end-to-end.sh PATH-TO-QUILLET}
HELPERS=$(cd "$(dirname "$0")/helpers" && pwd)

WORK=$(mktemp -d /tmp/quillet-strut-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
PID= WM=
cleanup() {
  for p in $PID $WM; do
    if kill -0 "$p" 2>/dev/null; then kill "$p"; wait "$p" 2>/dev/null || true; fi
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "strut end-to-end: $*" >&2
  echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 2>/dev/null || true
  echo "--- openbox's log:" >&2; cat "$WORK/wm.log" >&2 2>/dev/null || true
  exit 1
}
until_true() {  # command... ; at most 10 s
  for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

openbox --sm-disable >"$WORK/wm.log" 2>&1 &
WM=$!
until_true xprop -root _NET_SUPPORTING_WM_CHECK || fail "openbox did not come up"
until_true sh -c 'xprop -root _NET_WORKAREA | grep -q "= 0, 0, 1280, 800"' ||
  fail "openbox reports no full-screen work area: $(xprop -root _NET_WORKAREA)"

# Without the strip, a maximised window starts at the top of the screen.
read -r X Y W H < <(python3 "$HELPERS/maximised-window.py") || fail "no maximised window before quillet"
[ "$Y" = 0 ] || fail "before quillet a maximised window starts at y=$Y, not 0"

"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
strip_window() {
  "$QUILLET" --status 2>/dev/null |
    python3 -c "import json,sys; w=json.load(sys.stdin)['strip']['nativeWindow']; print(w) if w else sys.exit(1)"
}
until_true strip_window || fail "quillet did not show its strip"
STRIP=$(strip_window)

# The band on the strip's window: the top 24 pixels of the screen, across all of its width.
until_true sh -c "xprop -id $STRIP _NET_WM_STRUT_PARTIAL | grep -q '='" ||
  fail "the strip's window has no _NET_WM_STRUT_PARTIAL"
PARTIAL=$(xprop -id "$STRIP" _NET_WM_STRUT_PARTIAL)
STRUT=$(xprop -id "$STRIP" _NET_WM_STRUT)
echo "strut end-to-end: $PARTIAL"
[ "${PARTIAL#*= }" = "0, 0, 24, 0, 0, 0, 0, 0, 0, 1279, 0, 0" ] || fail "wrong band: $PARTIAL"
[ "${STRUT#*= }" = "0, 0, 24, 0" ] || fail "wrong _NET_WM_STRUT: $STRUT"

# The window manager honours it: the work area starts below the strip, and so does a window
# maximised now.
until_true sh -c 'xprop -root _NET_WORKAREA | grep -q "= 0, 24, 1280, 776"' ||
  fail "the work area does not leave the strip's band: $(xprop -root _NET_WORKAREA)"
read -r X Y W H < <(python3 "$HELPERS/maximised-window.py") || fail "no maximised window with quillet"
echo "strut end-to-end: a maximised window's frame is at $X,$Y, $W x $H"
[ "$Y" -ge 24 ] || fail "a maximised window starts at y=$Y, under the strip"
[ "$Y" = 24 ] && [ "$H" = 776 ] || fail "a maximised window is not the work area below the strip ($X $Y $W $H)"
# The screen that quillet reports has its visible frame below the strip, once.
"$QUILLET" --status | python3 -c "
import json, sys
s = json.load(sys.stdin)['screen']
sys.exit(0 if s['visibleFrame']['height'] == 776 and s['frame']['height'] == 800 else 1)" ||
  fail "quillet's visible frame of the screen is not the 776 points below its strip"
if [ -n "${QUILLET_E2E_SHOTS:-}" ] && command -v import >/dev/null; then
  mkdir -p "$QUILLET_E2E_SHOTS" && import -window root "$QUILLET_E2E_SHOTS/strut.png"
fi
echo "strut end-to-end: ok"
