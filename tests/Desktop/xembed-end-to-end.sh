#!/usr/bin/env bash
# Legacy (XEmbed) tray icons end to end (run under xvfb-run): Quillet becomes the X11 system
# tray; a Qt program whose bus has no watcher docks its QSystemTrayIcon there and the icon
# shows as an item of the strip, whose real window sits in the strip; a left click reaches the
# program; a Ctrl-drag puts it beyond the dot, collapsing hides it and the hidden-items panel
# shows its picture; another tray taking the selection gets the icon, and when that tray ends
# Quillet is the tray again and the icon comes back; a flood of docking requests (and one for a
# window that does not exist) is bounded; icons go with their program; a killed Quillet leaves
# the icons to their programs and the next tray. Every wait is bounded.
set -euo pipefail
QUILLET=${1:?usage: xembed-end-to-end.sh PATH-TO-QUILLET PATH-TO-XEMBED-TRAY-HELPER}
HELPER=${2:?usage: xembed-end-to-end.sh PATH-TO-QUILLET PATH-TO-XEMBED-TRAY-HELPER}

WORK=$(mktemp -d /tmp/quillet-xembed-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
PID= ICON= OTHER= RAW= FLOOD= BUS_PID= ICON_BUS_PID=
cleanup() {
  exec 4>&- 5>&- 6>&- 7>&- 2>/dev/null || true
  for p in $FLOOD $RAW $OTHER $ICON $PID $BUS_PID $ICON_BUS_PID; do
    if kill -0 "$p" 2>/dev/null; then kill "$p"; wait "$p" 2>/dev/null || true; fi
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "xembed end-to-end: $*" >&2
  echo "--- last --status:" >&2; cat "$WORK/status" >&2 2>/dev/null || true
  echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 || true
  echo "--- the icon's program:" >&2; cat "$WORK/icon.log" >&2 2>/dev/null || true
  echo "--- the other tray:" >&2; cat "$WORK/other.log" >&2 2>/dev/null || true
  exit 1
}
saw() { # FILE PATTERN: waits up to 5 s for a line
  for _ in $(seq 50); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

# Quillet on a session bus of this test's own; the icon's program on another, empty one: with
# no watcher there, Qt falls back to the X11 tray.
command -v dbus-daemon >/dev/null || fail "dbus-daemon is missing (scripts/install-deps installs it)"
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r BUS_PID; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
{ read -r ICON_BUS; read -r ICON_BUS_PID; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS
[ -n "$DBUS_SESSION_BUS_ADDRESS" ] && [ -n "$ICON_BUS" ] || fail "the private session buses did not start"

STATUS_HELPERS='
def icons():
    return (s.get("xembed") or {}).get("icons", [])
def legacy():
    return [i for i in s["items"] if i["autosaveName"].startswith("xembed.")]
def qt():
    return next((i for i in s["items"] if i["autosaveName"] == "xembed.xembed-helper"), None)
def state():
    return (s.get("xembed") or {}).get("state")
'
source "$(dirname "$0")/e2e-status.sh"
# As e2e-status.sh's (10 s), but a Quillet that stops answering fails the wait instead of
# hanging it.
status_until() {
  local end=$((SECONDS + 10))
  while [ "$SECONDS" -lt "$end" ]; do
    if timeout 3 "$QUILLET" --status >"$WORK/status" 2>/dev/null && check "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
status_until "item('quillet.toggle') and state() == 'manager'" ||
  fail "quillet did not become the X11 system tray"

start_icon() {
  mkfifo "$WORK/icon-in.$1"
  DBUS_SESSION_BUS_ADDRESS=$ICON_BUS QT_QPA_PLATFORM=xcb "$HELPER" --qt-icon \
    <"$WORK/icon-in.$1" >"$WORK/icon.log" 2>&1 &
  ICON=$!
  exec 4>"$WORK/icon-in.$1"
}
start_icon 1
status_until "qt() and qt()['onScreen'] and qt()['ownerPID'] == $ICON" ||
  fail "the Qt program's tray icon did not appear in the strip"
check "len(icons()) == 1 and icons()[0]['shown'] and icons()[0]['onScreen'] and icons()[0]['pid'] == $ICON" ||
  fail "the tray does not list the docked icon as shown"
check "qt()['frame']['x'] < item('quillet.toggle')['frame']['x'] and qt()['frame']['x'] > item('quillet.separator')['frame']['x']" ||
  fail "the new icon is not between the chevron and the dot"
# The program's own window sits in the strip's window, where the item is.
STRIP=$(value "s['strip']['nativeWindow']")
ICONWIN=$(value "icons()[0]['window']")
xwininfo -tree -id "$STRIP" | grep -qi "$(printf '0x%x' "$ICONWIN")" ||
  fail "the icon's window is not inside the strip"
read -r WX WY < <(xwininfo -id "$ICONWIN" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} END {print x, y}')
point "centre(qt()['frame'])"; IX=$PX; IY=$PY
[ $((IX - WX)) -ge 0 ] && [ $((IX - WX)) -le 22 ] && [ $((IY - WY)) -ge 0 ] && [ $((IY - WY)) -le 22 ] ||
  fail "the icon's window ($WX,$WY) is not where the strip's item is ($IX,$IY)"

# A left click on it reaches the program as a click on its icon.
xdotool mousemove "$IX" "$IY"; sleep 0.2; xdotool click 1
saw "$WORK/icon.log" "^activated 3" || fail "a left click on the icon did not reach its program"
# The wheel and a right click too (Qt says Context for the right button).
xdotool click 3
saw "$WORK/icon.log" "^activated 1" || fail "a right click on the icon did not reach its program"

# Ctrl-drag it beyond the dot: the strip, not the program, takes a drag over the icon.
point "centre(item('quillet.separator')['frame'])"; DX=$PX
xdotool mousemove "$IX" "$IY"; sleep 0.2
xdotool keydown ctrl mousedown 1
for x in $(seq "$IX" -6 $((DX - 30))); do xdotool mousemove "$x" "$IY"; done
xdotool mouseup 1 keyup ctrl
status_until "qt()['frame']['x'] < item('quillet.separator')['frame']['x']" ||
  fail "Ctrl-dragging the icon did not put it beyond the dot"
check "icons()[0]['onScreen']" || fail "the icon's window did not follow its item"

# Collapse: it leaves the screen; the panel shows its picture.
point "centre(item('quillet.toggle')['frame'])"; CX=$PX; CY=$PY
xdotool mousemove "$CX" "$CY"; sleep 0.2; xdotool click 1
status_until "s['collapsed'] and not qt()['onScreen'] and not icons()[0]['onScreen']" ||
  fail "collapsing did not hide the icon"
xwininfo -id "$ICONWIN" | grep -q "IsViewable" && fail "the icon's window is still viewable while hidden"
check "icons()[0]['imageVersion'] >= 1" || fail "no picture of the icon was kept for the panel"
xdotool mousemove 600 400; sleep 0.3; xdotool mousemove "$CX" "$CY"
status_until "panel()['visible'] and panel()['items'] == 1" || fail "the panel did not show the hidden icon"
check "panel()['icons'][0]['source'].startswith('image://quillet/tray/') and not panel()['icons'][0]['placeholder']" ||
  fail "the panel shows no picture of the icon"
point "centre(panel()['icons'][0]['frame'])"
xdotool mousemove "$PX" "$PY"; sleep 0.2; xdotool click 1
status_until "not s['collapsed'] and qt()['onScreen'] and icons()[0]['onScreen'] and not panel()['visible']" ||
  fail "clicking the icon in the panel did not bring it back"

# Another tray takes the selection: Quillet lets the icon go, and the program docks with it.
mkfifo "$WORK/other-in"
"$HELPER" --take-tray <"$WORK/other-in" >"$WORK/other.log" 2>&1 &
OTHER=$!
exec 5>"$WORK/other-in"
saw "$WORK/other.log" "^owner" || fail "the other tray did not take the selection"
status_until "state() == 'waiting' and not legacy() and not icons()" ||
  fail "quillet did not give the tray up to the other one"
saw "$WORK/other.log" "^dock " || fail "the icon did not go to the other tray"
# The other tray ends: Quillet is the tray again and the icon comes back.
echo quit >&5
wait "$OTHER" || true
OTHER=
status_until "state() == 'manager' and qt() and qt()['onScreen']" ||
  fail "quillet did not become the tray again, with the icon, after the other tray ended"

# A plain X program's icon, without a toolkit: the middle button and the wheel (both ways) reach
# it as button presses on its window; clearing its XEmbed mapped flag takes it out of the strip
# while it stays docked, setting the flag brings it back.
mkfifo "$WORK/raw-in"
"$HELPER" --dock 1 <"$WORK/raw-in" >"$WORK/raw.log" 2>&1 &
RAW=$!
exec 7>"$WORK/raw-in"
RAWITEM="item('xembed.Flood')"
status_until "$RAWITEM and $RAWITEM['onScreen'] and len(icons()) == 2" ||
  fail "the plain X program's icon did not appear in the strip"
RAWWIN=$(value "next(i['window'] for i in icons() if i['autosaveName'] == 'xembed.Flood')")
point "centre($RAWITEM['frame'])"
xdotool mousemove "$PX" "$PY"; sleep 0.2
xdotool click 2; saw "$WORK/raw.log" "^button 2 $RAWWIN" || fail "a middle click did not reach the plain icon"
xdotool click 4; saw "$WORK/raw.log" "^button 4 $RAWWIN" || fail "the wheel (up) did not reach the plain icon"
xdotool click 7; saw "$WORK/raw.log" "^button 7 $RAWWIN" || fail "the wheel (right) did not reach the plain icon"
echo unmap >&7
status_until "not $RAWITEM and len(icons()) == 2 and not [i for i in icons() if i['window'] == $RAWWIN][0]['shown']" ||
  fail "clearing the XEmbed mapped flag did not take the icon out of the strip"
echo map >&7
status_until "$RAWITEM and $RAWITEM['onScreen']" || fail "setting the XEmbed mapped flag did not bring the icon back"
echo quit >&7
wait "$RAW" || true
RAW=
status_until "not $RAWITEM and len(icons()) == 1" || fail "the plain icon stayed after its program ended"

# A flood of docking requests, one of them for a window that does not exist, and forged ones for
# the root window and for Quillet's own strip: at most 64 icons, and the strip stays put.
ROOT=$(xwininfo -root | awk '/Window id:/ {print $4}')
mkfifo "$WORK/flood-in"
"$HELPER" --dock 100 "$ROOT" "$STRIP" <"$WORK/flood-in" >"$WORK/flood.log" 2>&1 &
FLOOD=$!
exec 6>"$WORK/flood-in"
saw "$WORK/flood.log" "^docked 100" || fail "the flooding program did not run"
status_until "len(icons()) == 64 and len(legacy()) == 64" || fail "the docked icons are not bounded at 64"
check "not [i for i in icons() if i['window'] in ($ROOT, $STRIP)]" || fail "a forged request docked the root window or the strip"
xwininfo -id "$STRIP" | grep -q "Width: 1280" || fail "a forged docking request changed the strip"
echo quit >&6
wait "$FLOOD" || true
FLOOD=
status_until "len(icons()) == 1 and len(legacy()) == 1 and qt()" ||
  fail "the flooding program's icons stayed after it ended"

# The program hides its icon, shows it again, then ends: the item goes each time.
echo hide >&4
status_until "not legacy() and not icons()" || fail "the icon stayed after its program hid it"
echo show >&4
status_until "qt() and qt()['onScreen']" || fail "the icon did not come back when shown again"
echo quit >&4
wait "$ICON" || true
ICON=
status_until "not legacy() and not icons()" || fail "the icon stayed after its program ended"
kill -0 "$PID" || fail "quillet ended"

# Quillet is killed while it holds icons: a plain X icon's window is not destroyed with the strip
# (it is in Quillet's save-set), and Qt's program docks its icon with the next tray.
start_icon 2
mkfifo "$WORK/raw-in.2"
"$HELPER" --dock 1 <"$WORK/raw-in.2" >"$WORK/raw.log" 2>&1 &
RAW=$!
exec 7>"$WORK/raw-in.2"
status_until "qt() and qt()['onScreen'] and $RAWITEM and $RAWITEM['onScreen']" ||
  fail "a new program's icon and a plain icon did not appear"
RAWWIN=$(value "next(i['window'] for i in icons() if i['autosaveName'] == 'xembed.Flood')")
kill -9 "$PID"; wait "$PID" 2>/dev/null || true
PID=
sleep 0.5
xwininfo -id "$RAWWIN" >/dev/null 2>&1 || fail "the plain icon's window went with the killed Quillet"
xwininfo -id "$RAWWIN" | grep -q "Parent window id:.*(the root window)" ||
  xwininfo -children -id "$RAWWIN" | grep -q "Parent window id:.*(the root window)" ||
  fail "the plain icon's window did not go back to the root window"
kill -0 "$ICON" || fail "the icon's program ended with Quillet"
: >"$WORK/other.log"
mkfifo "$WORK/other-in.2"
"$HELPER" --take-tray <"$WORK/other-in.2" >"$WORK/other.log" 2>&1 &
OTHER=$!
exec 5>"$WORK/other-in.2"
saw "$WORK/other.log" "^dock " || fail "after Quillet was killed, Qt's icon did not dock with the next tray"
echo "xembed end-to-end: ok"
