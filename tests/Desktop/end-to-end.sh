#!/usr/bin/env bash
# Quillet end to end on a display (run under xvfb-run): click the chevron where --status says it
# is, see --status and the defaults file say collapsed with the sample items off screen, start a
# second quillet that must exit 0 while the first keeps running, and expand again with --toggle.
set -euo pipefail
QUILLET=${1:?usage: end-to-end.sh PATH-TO-QUILLET}

WORK=$(mktemp -d /tmp/quillet-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
PID=
cleanup() {
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then kill "$PID"; wait "$PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "end-to-end: $*" >&2; echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 || true; exit 1; }

# Waits (at most 10 s) until the JSON that --status prints satisfies a Python expression on `s`.
status_until() {
  local expr=$1
  for _ in $(seq 100); do
    if "$QUILLET" --status >"$WORK/status" 2>/dev/null &&
       python3 -c "import json,sys; s=json.load(open('$WORK/status')); sys.exit(0 if ($expr) else 1)"; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
status_until "s['collapsed'] == False and any(i['autosaveName'] == 'quillet.toggle' for i in s['items'])" ||
  fail "quillet did not come up with its chevron"

# The chevron's centre in X coordinates: Cocoa frames start at the bottom left of the screen.
read -r X Y < <(python3 - "$WORK/status" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
h = s['screen']['frame']['height']
f = next(i['frame'] for i in s['items'] if i['autosaveName'] == 'quillet.toggle')
print(int(f['x'] + f['width'] / 2), int(h - (f['y'] + f['height'] / 2)))
PY
)
xdotool mousemove "$X" "$Y"
sleep 0.2
xdotool click 1

SAMPLES_OFF="all(not i['onScreen'] for i in s['items'] if not i['own'] and i['ownerPID'] > 1000)"
SAMPLES_ON="all(i['onScreen'] for i in s['items'] if not i['own'] and i['ownerPID'] > 1000)"
status_until "s['collapsed'] == True and $SAMPLES_OFF" || fail "clicking the chevron at $X,$Y did not collapse the bar"
python3 - "$XDG_CONFIG_HOME/quillet/defaults.json" <<'PY' || fail "the defaults file does not say collapsed"
import json, sys
d = json.load(open(sys.argv[1]))
sys.exit(0 if d.get("quillet.isCollapsed") is True else 1)
PY

# A second quillet finds the first, asks it to activate and leaves with status 0.
timeout 20 "$QUILLET" >"$WORK/second.log" 2>&1 || fail "the second quillet exited with $? ($(cat "$WORK/second.log"))"
kill -0 "$PID" 2>/dev/null || fail "the first quillet did not survive the second"

# A URL given to a second quillet goes to the running one, and the second leaves with status 0.
timeout 20 "$QUILLET" "quillet://auth/callback?state=e2e" >"$WORK/url.log" 2>&1 ||
  fail "forwarding a URL exited with $? ($(cat "$WORK/url.log"))"
kill -0 "$PID" 2>/dev/null || fail "the first quillet did not survive a forwarded URL"

# --toggle is a left click on the chevron: the bar expands and the items come back.
"$QUILLET" --toggle >/dev/null || fail "--toggle failed"
status_until "s['collapsed'] == False and $SAMPLES_ON" || fail "--toggle did not expand the bar"
echo "end-to-end: ok"
