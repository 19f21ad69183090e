#!/usr/bin/env bash
# The always-hidden section, the global hotkeys and the panel's search end to end (run under
# xvfb-run): with "Ctrl+Alt+H" stored before start, the key collapses and expands the bar; with
# the always-hidden section on, its double bar is in the strip, `--toggle-always-hidden` shows it,
# a sample item Ctrl-dragged beyond it stays off the screen while the bar is expanded; then, with
# the section off, "Ctrl+Alt+J" opens the panel with the keyboard focus, typing filters it,
# Escape clears the text and then closes it. A key another program holds is refused. Every wait
# is bounded. QUILLET_E2E_SHOTS=DIR keeps screenshots there (needs imagemagick).
set -euo pipefail
QUILLET=${1:?usage: hotkeys-end-to-end.sh PATH-TO-QUILLET [PATH-TO-KEY-GRABBER]}
GRABBER=${2:-}

WORK=$(mktemp -d /tmp/quillet-hotkeys-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
mkdir -p "$XDG_CONFIG_HOME/quillet" && mkdir -m 700 "$XDG_RUNTIME_DIR"
PID=
GRAB=
stop() {
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then kill "$PID"; wait "$PID" 2>/dev/null || true; fi
  PID=
}
cleanup() {
  stop
  if [ -n "$GRAB" ]; then kill "$GRAB" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "hotkeys end-to-end: $*" >&2
  echo "--- last --status:" >&2; cat "$WORK/status" >&2 2>/dev/null || true
  echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 || true
  exit 1
}
shot() {
  if [ -n "${QUILLET_E2E_SHOTS:-}" ] && command -v import >/dev/null; then
    mkdir -p "$QUILLET_E2E_SHOTS" && import -window root "$QUILLET_E2E_SHOTS/$1.png"
  fi
}
STATUS_HELPERS='
def samples():
    return [i for i in s["items"] if not i["own"] and i["ownerPID"] > 1000]
def sample(owner):
    return next(i for i in samples() if i["owner"] == owner)
def ah():
    return s["alwaysHidden"]
'
source "$(dirname "$0")/e2e-status.sh"

start() {
  "$QUILLET" >"$WORK/log" 2>&1 &
  PID=$!
  status_until "not s['collapsed'] and item('quillet.toggle') and len(samples()) == 5" ||
    fail "quillet did not come up with its chevron and the sample items"
}

# --- the toggle hotkey and the always-hidden section ---
cat >"$XDG_CONFIG_HOME/quillet/defaults.json" <<'JSON'
{"quillet.toggleHotkey": "Ctrl+Alt+H", "quillet.alwaysHiddenEnabled": true}
JSON
start
check "s['hotkeys']['toggle'] == 'Ctrl+Alt+H'" || fail "--status does not report the hotkey"
check "ah()['enabled'] and ah()['separator'] is not None and item('quillet.alwaysHidden')" ||
  fail "the always-hidden separator is not in the strip"

xdotool key ctrl+alt+h
status_until "s['collapsed'] and not any(i['onScreen'] for i in samples())" ||
  fail "Ctrl+Alt+H did not collapse the bar"
xdotool key ctrl+alt+h
status_until "not s['collapsed'] and all(i['onScreen'] for i in samples())" ||
  fail "Ctrl+Alt+H did not expand the bar again"

# Shown from the command line, the double bar takes items dragged beyond it.
"$QUILLET" --toggle-always-hidden >/dev/null || fail "--toggle-always-hidden was refused"
status_until "ah()['separator']['shown'] and item('quillet.alwaysHidden')['onScreen']" ||
  fail "--toggle-always-hidden did not show the double bar"
shot always-hidden-shown
point "centre(sample('Music')['frame'])"; MX=$PX; MY=$PY
point "centre(item('quillet.alwaysHidden')['frame'])"; AX=$PX
xdotool mousemove "$MX" "$MY"; sleep 0.2
xdotool keydown ctrl mousedown 1
for x in $(seq "$MX" -6 $((AX - 40))); do xdotool mousemove "$x" "$MY"; done
xdotool mouseup 1 keyup ctrl
status_until "sample('Music')['frame']['x'] < item('quillet.alwaysHidden')['frame']['x']" ||
  fail "Ctrl-dragging Music did not put it beyond the double bar"
"$QUILLET" --toggle-always-hidden >/dev/null || fail "--toggle-always-hidden was refused"
status_until "not s['collapsed'] and not sample('Music')['onScreen'] and 'com.example.music.item' in ah()['items']" ||
  fail "Music did not stay off the screen with the bar expanded"
check "sum(1 for i in samples() if i['onScreen']) == 4" || fail "other sample items left the screen too"
shot always-hidden-hiding

# --- the panel opened by a hotkey takes the focus, and typing searches it ---
stop
cat >"$XDG_CONFIG_HOME/quillet/defaults.json" <<'JSON'
{"quillet.toggleHotkey": "Ctrl+Alt+H", "quillet.alwaysHiddenHotkey": "Ctrl+Alt+J", "quillet.isCollapsed": true}
JSON
start_collapsed() {
  "$QUILLET" >"$WORK/log" 2>&1 &
  PID=$!
  status_until "s['collapsed'] and item('quillet.toggle') and len(samples()) == 5" ||
    fail "quillet did not come up collapsed"
}
start_collapsed
xdotool key ctrl+alt+j
status_until "panel()['visible'] and panel()['items'] == 5" || fail "Ctrl+Alt+J did not open the panel"
sleep 0.3
xdotool type --delay 50 "us"
status_until "panel()['searchText'] == 'us' and panel()['items'] == 1 and panel()['icons'][0]['toolTip'] == 'Music'" ||
  fail "typing did not filter the panel to Music"
shot panel-search
xdotool key Escape
status_until "panel()['visible'] and panel()['searchText'] == '' and panel()['items'] == 5" ||
  fail "Escape did not clear the search text first"
xdotool key Escape
status_until "not panel()['visible']" || fail "a second Escape did not close the panel"

# A key another program holds is not taken over: the hotkey is reported, not watched.
if [ -n "$GRABBER" ]; then
  stop
  "$GRABBER" ctrl+alt+k >"$WORK/grabber.log" 2>&1 &
  GRAB=$!
  for _ in $(seq 50); do grep -q grabbed "$WORK/grabber.log" 2>/dev/null && break; sleep 0.1; done
  grep -q grabbed "$WORK/grabber.log" || fail "the key grabber did not grab its key"
  cat >"$XDG_CONFIG_HOME/quillet/defaults.json" <<'JSON'
{"quillet.toggleHotkey": "Ctrl+Alt+K"}
JSON
  start
  grep -q "toggle hotkey could not be registered" "$WORK/log" ||
    (sleep 1; grep -q "toggle hotkey could not be registered" "$WORK/log") ||
    fail "a key held by another program was not reported"
  xdotool key ctrl+alt+k
  sleep 0.5
  "$QUILLET" --status >"$WORK/status"
  check "not s['collapsed']" || fail "a key held by another program still toggled the bar"
fi
echo "hotkeys end-to-end: ok"
