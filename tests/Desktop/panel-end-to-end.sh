#!/usr/bin/env bash
# The hidden-items panel and the status menu end to end (run under xvfb-run), as a new user
# meets them: collapse with the sample items hidden, rest the pointer on the chevron and see the
# panel under it with one icon per hidden item, move into the panel, see the application's name
# as the icon's tooltip and click the icon (the bar expands, the panel closes), see the window
# manager's close request refused by the panel, close it with a click in another application,
# then a right click on the chevron for the status menu: its items in order, "Launch at Login"
# writing and removing the autostart entry, and "Quit Quillet". Every wait is bounded.
# QUILLET_E2E_SHOTS=DIR keeps screenshots of the panel and the menu there (needs imagemagick).
set -euo pipefail
QUILLET=${1:?usage: panel-end-to-end.sh PATH-TO-QUILLET}
HELPERS=$(cd "$(dirname "$0")/helpers" && pwd)

WORK=$(mktemp -d /tmp/quillet-panel-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
export QUILLET_REPORT_STARTUP=1
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
AUTOSTART=$XDG_CONFIG_HOME/autostart
PID=
cleanup() {
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then kill "$PID"; wait "$PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "panel end-to-end: $*" >&2
  echo "--- last --status:" >&2; cat "$WORK/status" >&2 2>/dev/null || true
  echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 || true
  exit 1
}
shot() {
  if [ -n "${QUILLET_E2E_SHOTS:-}" ] && command -v import >/dev/null; then
    mkdir -p "$QUILLET_E2E_SHOTS" && import -window root "$QUILLET_E2E_SHOTS/$1.png"
  fi
}

# Waits (at most 10 s) until the JSON that --status prints satisfies a Python expression on `s`
# (helpers: H the screen's height, hidden() the owners of the sample items off screen).
STATUS_HELPERS='
def hidden():
    return [i["owner"] for i in s["items"] if not i["own"] and i["ownerPID"] > 1000 and not i["onScreen"]]
def chevron():
    return next(i["frame"] for i in s["items"] if i["autosaveName"] == "quillet.toggle")
'
source "$(dirname "$0")/e2e-status.sh"

"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
status_until "s['collapsed'] == False and any(i['autosaveName'] == 'quillet.toggle' for i in s['items'])" ||
  fail "quillet did not come up with its chevron"
point "centre(chevron())"; CX=$PX; CY=$PY

# Collapse with a click on the chevron: the sample items leave the screen.
xdotool mousemove "$CX" "$CY"; sleep 0.2; xdotool click 1
status_until "s['collapsed'] and len(hidden()) == 5" || fail "clicking the chevron did not hide the sample items"
[ "$(value 'panel()["visible"]')" = False ] || fail "the panel opened on a click"

# Rest on the chevron (coming from elsewhere): after 0.35 s the panel hangs under it, one icon
# per hidden item, in menu-bar order, right-aligned with the chevron and 6 points below the strip.
xdotool mousemove 600 400; sleep 0.3
xdotool mousemove "$CX" "$CY"
status_until "panel()['visible'] and panel()['items'] == len(hidden())" ||
  fail "resting on the chevron did not show the panel with one icon per hidden item"
check "sorted(i['toolTip'] for i in panel()['icons']) == sorted(hidden())" || fail "the icons are not the hidden items"
check "panel()['frame']['width'] == 5 * 22 + 20 + 4 * 8 and panel()['frame']['height'] == 42" ||
  fail "the panel's size is wrong"
check "abs(panel()['frame']['x'] + panel()['frame']['width'] - (chevron()['x'] + chevron()['width'])) < 1" ||
  fail "the panel is not right-aligned with the chevron"
check "abs(H - (panel()['frame']['y'] + 42) - (24 + 6)) < 1" || fail "the panel is not 6 points below the strip"
check "all(i['frame']['width'] == 22 and i['frame']['height'] == 22 for i in panel()['icons'])" ||
  fail "the icons are not 22 x 22"
check "s['globalClicks']['watching']" || fail "no global click watch while the panel is visible"
echo "panel end-to-end: panel painted $(value 'panel()["showToPaintMs"]') ms after it was asked to show," \
     "quillet's RSS $(awk '/VmRSS/ {print $2, $3}' /proc/$PID/status)"
shot panel

# Into the panel within 0.5 s: it stays, and resting on an icon shows its application's name
# as a tooltip, though the panel is never the active window. A click on the icon expands the bar
# and closes the panel.
point "centre(panel()['icons'][1]['frame'])"
NAME=$(value "panel()['icons'][1]['toolTip']")
check "'$NAME' in hidden()" || fail "the icon's tooltip \"$NAME\" is no hidden application's name"
xdotool mousemove "$PX" "$PY"
status_until "s['toolTip']['visible'] and s['toolTip']['text'] == '$NAME'" ||
  fail "resting on an icon showed no tooltip \"$NAME\""
sleep 0.6
"$QUILLET" --status >"$WORK/status"
check "panel()['visible']" || fail "the panel closed while the pointer was in it"
xdotool click 1
status_until "not s['collapsed'] and not panel()['visible'] and not hidden()" ||
  fail "clicking an icon did not expand the bar and close the panel"
check "not s['globalClicks']['watching']" || fail "the global click watch outlived the panel"

# Leaving both chevron and panel closes it after 0.5 s.
"$QUILLET" --toggle >/dev/null || fail "--toggle failed"
xdotool mousemove 600 400; sleep 0.3; xdotool mousemove "$CX" "$CY"
status_until "s['collapsed'] and panel()['visible']" || fail "the panel did not open a second time"
xdotool mousemove 600 400
status_until "not panel()['visible']" || fail "leaving the chevron did not close the panel"

# A click in another application (the bare desktop) closes a panel: XInput2 sees it.
xdotool mousemove "$CX" "$CY"
status_until "panel()['visible']" || fail "the panel did not open a third time"

# The window manager's close request (Alt+F4, WM_DELETE_WINDOW) is refused: the panel has no
# close button, so it stays, watching clicks, until one of its own ways closes it.
PANEL_NUMBER=$(value "panel()['windowNumber']")
python3 "$HELPERS/wm-delete-window.py" "$(value "panel()['nativeWindow']")" ||
  fail "could not send WM_DELETE_WINDOW to the panel"
for _ in $(seq 100); do
  grep -q "window $PANEL_NUMBER refused a close request" "$WORK/log" && break
  sleep 0.1
done
grep -q "window $PANEL_NUMBER refused a close request" "$WORK/log" ||
  fail "the panel did not refuse the window manager's close request"
"$QUILLET" --status >"$WORK/status"
check "panel()['visible'] and s['globalClicks']['watching']" ||
  fail "a close request from the window manager hid the panel behind its controller's back"
BEFORE=$(value "s['globalClicks']['dispatched']")
xdotool mousemove 400 600 click 1
status_until "not panel()['visible'] and s['globalClicks']['dispatched'] > $BEFORE" ||
  fail "a click on the desktop did not reach the global monitor and close the panel"

# The status menu: a right click on the chevron, its items in order.
MENU_ORDER="[i.get('title', '-') for i in s['menu']['items']] == ['Show Hidden Items', '-', 'Settings…', '-', 'Launch at Login', '-', 'Quit Quillet']"
open_menu() {
  xdotool mousemove "$CX" "$CY"; sleep 0.1; xdotool click 3
  status_until "s['menu'] is not None" || fail "a right click on the chevron opened no menu"
}
click_item() {
  point "centre(menu_item('$1')['frame'])"
  xdotool mousemove "$PX" "$PY"; sleep 0.2; xdotool click 1
}
choose() {
  click_item "$1"
  status_until "s['menu'] is None" || fail "choosing \"$1\" did not close the menu"
}
open_menu
check "$MENU_ORDER" || fail "the status menu's items are not in order"
check "not menu_item('Launch at Login')['checked']" || fail "Launch at Login is checked on a fresh account"
shot menu
choose "Launch at Login"
[ -f "$AUTOSTART/quillet.desktop" ] || fail "\"Launch at Login\" wrote no autostart entry"
open_menu
check "menu_item('Launch at Login')['checked']" || fail "Launch at Login is not checked once enabled"
choose "Launch at Login"
if ls "$AUTOSTART"/*.desktop >/dev/null 2>&1; then fail "choosing \"Launch at Login\" again left the autostart entry"; fi

# "Quit Quillet" ends the program with status 0.
open_menu
click_item "Quit Quillet"
for _ in $(seq 50); do kill -0 "$PID" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$PID" 2>/dev/null; then fail "\"Quit Quillet\" did not end quillet"; fi
wait "$PID" && STATUS=0 || STATUS=$?
PID=
[ "$STATUS" = 0 ] || fail "quillet ended with status $STATUS after Quit"
echo "panel end-to-end: ok"
