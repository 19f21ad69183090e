#!/usr/bin/env bash
# Another program's tray icon end to end (run under xvfb-run), on a private session bus: Quillet
# provides the watcher, the helper program's StatusNotifierItem appears in the strip (the
# built-in sample items give way to it) and shows its tooltip, a Ctrl-drag puts it beyond the
# dot, collapsing hides it and the hidden-items panel shows its icon, a click on that icon
# expands the bar, a right click opens its menu and a choice reaches the program, a left click
# activates it, a passive item waits beyond the dot (hidden when collapsed, in the panel) until
# it is active again, and an item vanishes when its program ends; then the same for a Qt
# program's QSystemTrayIcon. Every wait is bounded.
# QUILLET_E2E_SHOTS=DIR keeps screenshots of the strip, the panel and the menu there.
set -euo pipefail
QUILLET=${1:?usage: tray-end-to-end.sh PATH-TO-QUILLET PATH-TO-TRAY-ITEM-HELPER}
HELPER=${2:?usage: tray-end-to-end.sh PATH-TO-QUILLET PATH-TO-TRAY-ITEM-HELPER}

WORK=$(mktemp -d /tmp/quillet-tray-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
PID= ITEM= QUIET= BUS_PID=
cleanup() {
  exec 4>&- 5>&- 2>/dev/null || true
  for p in $ITEM $QUIET $PID $BUS_PID; do
    if kill -0 "$p" 2>/dev/null; then kill "$p"; wait "$p" 2>/dev/null || true; fi
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "tray end-to-end: $*" >&2
  echo "--- last --status:" >&2; cat "$WORK/status" >&2 2>/dev/null || true
  echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 || true
  echo "--- the tray program's output:" >&2; cat "$WORK/item.log" >&2 || true
  exit 1
}
shot() {
  if [ -n "${QUILLET_E2E_SHOTS:-}" ] && command -v import >/dev/null; then
    mkdir -p "$QUILLET_E2E_SHOTS" && import -window root "$QUILLET_E2E_SHOTS/$1.png"
  fi
}

# A session bus of this test's own: no desktop's watcher or tray items get in.
command -v dbus-daemon >/dev/null || fail "dbus-daemon is missing (scripts/install-deps installs it)"
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r BUS_PID; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS
[ -n "$DBUS_SESSION_BUS_ADDRESS" ] || fail "the private session bus did not start"

STATUS_HELPERS='
def tray():
    return item("tray.e2e-item")
def samples():
    return [i for i in s["items"] if 41001 <= i["ownerPID"] <= 41005]
'
source "$(dirname "$0")/e2e-status.sh"
item_saw() {
  for _ in $(seq 50); do grep -q "$1" "$WORK/item.log" && return 0; sleep 0.1; done
  return 1
}

"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
status_until "item('quillet.toggle') and s['tray'] and s['tray']['role'] == 'watcher'" ||
  fail "quillet did not come up as the tray item watcher"
check "len(samples()) == 5" || fail "the built-in sample items are not there before any tray item"

# The program with a tray icon starts; its commands come through a pipe.
mkfifo "$WORK/in"
"$HELPER" --id e2e-item --title "E2E Item" --pixmap 2a9d8f <"$WORK/in" >"$WORK/item.log" 2>&1 &
ITEM=$!
exec 4>"$WORK/in"
status_until "tray() and tray()['onScreen'] and tray()['ownerPID'] == $ITEM and tray()['owner'] == 'E2E Item'" ||
  fail "the tray item did not appear in the strip with its title and process"
status_until "not samples()" || fail "the sample items did not give way to the tray item"
check "tray()['frame']['x'] < item('quillet.toggle')['frame']['x'] and tray()['frame']['x'] > item('quillet.separator')['frame']['x']" ||
  fail "the new tray item is not between the chevron and the dot"
shot tray-strip

# Ctrl-drag it beyond the dot.
point "centre(tray()['frame'])"; IX=$PX; IY=$PY
point "centre(item('quillet.separator')['frame'])"; DX=$PX
xdotool mousemove "$IX" "$IY"; sleep 0.2
xdotool keydown ctrl mousedown 1
for x in $(seq "$IX" -6 $((DX - 30))); do xdotool mousemove "$x" "$IY"; done
xdotool mouseup 1 keyup ctrl
status_until "tray()['frame']['x'] < item('quillet.separator')['frame']['x']" ||
  fail "Ctrl-dragging the tray item did not put it beyond the dot"
shot tray-dragged

# Collapse: it leaves the screen; the panel under the chevron shows its icon.
point "centre(item('quillet.toggle')['frame'])"; CX=$PX; CY=$PY
xdotool mousemove "$CX" "$CY"; sleep 0.2; xdotool click 1
status_until "s['collapsed'] and not tray()['onScreen']" || fail "collapsing did not hide the tray item"
xdotool mousemove 600 400; sleep 0.3; xdotool mousemove "$CX" "$CY"
status_until "panel()['visible'] and panel()['items'] == 1" || fail "the panel did not show the hidden tray item"
check "panel()['icons'][0]['toolTip'] == 'E2E Item'" || fail "the panel's icon is not the tray item's"
check "panel()['icons'][0]['source'].startswith('image://quillet/tray/') and not panel()['icons'][0]['placeholder']" ||
  fail "the panel shows no tray icon image"
sleep 0.3
shot tray-panel
point "centre(panel()['icons'][0]['frame'])"
xdotool mousemove "$PX" "$PY"; sleep 0.2; xdotool click 1
status_until "not s['collapsed'] and tray()['onScreen'] and not panel()['visible']" ||
  fail "clicking the tray item's icon in the panel did not expand the bar"

# A right click opens its menu under it; a choice goes back to the program.
point "centre(tray()['frame'])"; IX=$PX; IY=$PY
xdotool mousemove "$IX" "$IY"; sleep 0.2; xdotool click 3
status_until "s['menu'] is not None" || fail "a right click on the tray item opened no menu"
check "[i.get('title', '-') for i in s['menu']['items']] == ['&Open', '-', 'Disabled', 'Check', 'Radio A', 'Radio B', '&More', 'A_B && C']" ||
  fail "the tray item's menu is not the program's"
check "menu_item('Check')['checked'] and not menu_item('Disabled')['enabled']" || fail "the menu's states are lost"
shot tray-menu
point "centre(menu_item('&Open')['frame'])"
xdotool mousemove "$PX" "$PY"; sleep 0.2; xdotool click 1
status_until "s['menu'] is None" || fail "choosing Open did not close the menu"
item_saw "^event 1 clicked" || fail "the program did not hear that Open was chosen"

# A left click activates it.
xdotool mousemove "$IX" "$IY"; sleep 0.2; xdotool click 1
item_saw "^activate " || fail "a left click did not activate the tray item"

# A passive item waits beyond the dot: collapsing hides it and the panel lists it; once it
# is active again it is back on the shown side.
mkfifo "$WORK/quiet-in"
"$HELPER" --id e2e-quiet --title Quiet --status Passive <"$WORK/quiet-in" >"$WORK/quiet.log" 2>&1 &
QUIET=$!
exec 5>"$WORK/quiet-in"
status_until "item('tray.e2e-quiet') and item('tray.e2e-quiet')['frame']['x'] < item('quillet.separator')['frame']['x']" ||
  fail "a passive tray item is not beyond the dot"
point "centre(item('quillet.toggle')['frame'])"; CX=$PX; CY=$PY
xdotool mousemove "$CX" "$CY"; sleep 0.2; xdotool click 1
status_until "s['collapsed'] and not item('tray.e2e-quiet')['onScreen']" ||
  fail "collapsing did not hide the passive tray item"
xdotool mousemove 600 400; sleep 0.3; xdotool mousemove "$CX" "$CY"
status_until "panel()['visible'] and 'Quiet' in [i['toolTip'] for i in panel()['icons']]" ||
  fail "the panel does not list the passive tray item"
shot tray-passive-panel
xdotool mousemove 600 400; sleep 0.2; xdotool click 1
xdotool mousemove "$CX" "$CY"; sleep 0.2; xdotool click 1
status_until "not s['collapsed']" || fail "the bar did not expand again"
echo "status Active" >&5
status_until "item('tray.e2e-quiet')['frame']['x'] > item('quillet.separator')['frame']['x'] and item('tray.e2e-quiet')['onScreen']" ||
  fail "the tray item did not come back to the shown side once active"
echo quit >&5
wait "$QUIET" || true
QUIET=

# The program ends: the item vanishes.
echo quit >&4
wait "$ITEM" || true
ITEM=
status_until "tray() is None" || fail "the tray item stayed after its program ended"

# A Qt program's QSystemTrayIcon, which Qt publishes on the bus by itself once a watcher runs:
# it shows, its QMenu opens on a right click and a left click activates it.
mkfifo "$WORK/qt-in"
QT_QPA_PLATFORM=xcb "$HELPER" --qt-tray <"$WORK/qt-in" >"$WORK/item.log" 2>&1 &
ITEM=$!
exec 4>"$WORK/qt-in"
QT="next((i for i in s['items'] if i['ownerPID'] == $ITEM), None)"
status_until "$QT and ($QT)['onScreen'] and ($QT)['autosaveName'].startswith('tray.')" ||
  fail "the QSystemTrayIcon did not appear in the strip"
echo "tray end-to-end: Qt's tray icon shows as $(value "($QT)['owner'] + ' / ' + ($QT)['autosaveName']")"
point "centre(($QT)['frame'])"; IX=$PX; IY=$PY
xdotool mousemove "$IX" "$IY"; sleep 0.2; xdotool click 3
status_until "s['menu'] is not None and [i.get('title') for i in s['menu']['items']] == ['Say hello']" ||
  fail "a right click on Qt's tray icon did not open its menu"
shot tray-qt-menu
point "centre(menu_item('Say hello')['frame'])"
xdotool mousemove "$PX" "$PY"; sleep 0.2; xdotool click 1
item_saw "^qt-menu hello" || fail "choosing from Qt's tray menu did not reach the program"
xdotool mousemove "$IX" "$IY"; sleep 0.2; xdotool click 1
item_saw "^qt-activated" || fail "a left click did not activate Qt's tray icon"
echo quit >&4
wait "$ITEM" || true
ITEM=
status_until "'tray.' not in ' '.join(i['autosaveName'] for i in s['items'])" ||
  fail "Qt's tray icon stayed after its program ended"
echo "tray end-to-end: ok"
