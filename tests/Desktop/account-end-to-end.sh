#!/bin/bash
# Signs in to Quillet on a virtual display as a new user would, against tools/identity-dev:
# the status menu opens the settings, "Sign In…" opens the sign-in window, the Google button
# sends the authorization request to $BROWSER (a script that follows the service's redirect and
# runs `quillet 'quillet://auth/callback?…'`), the window closes and the application returns to
# accessory; "Sign Out" revokes. A private D-Bus session carries a fresh, unlocked
# gnome-keyring. Needs Xvfb, xdotool, node; QUILLET_E2E_SHOTS=DIR keeps screenshots (needs
# imagemagick).
# Usage: tests/Desktop/account-end-to-end.sh PATH-TO-QUILLET
set -euo pipefail
quillet="$(realpath "$1")"
here="$(cd "$(dirname "$0")/../.." && pwd)"
if [ -z "${QUILLET_E2E_INNER:-}" ]; then
  tmp=$(mktemp -d)
  [ -n "${QUILLET_E2E_KEEP:-}" ] && echo "keeping $tmp" || trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$tmp/home" "$tmp/config" "$tmp/data" "$tmp/runtime"
  chmod 700 "$tmp/runtime"
  export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" XDG_DATA_HOME="$tmp/data" \
         XDG_RUNTIME_DIR="$tmp/runtime" QUILLET_E2E_INNER="$tmp"
  exec dbus-run-session -- "$0" "$@"
fi
tmp="$QUILLET_E2E_INNER"
eval "$(echo | gnome-keyring-daemon --unlock --components=secrets)"
export GNOME_KEYRING_CONTROL

fail() { echo "FAIL: $*" >&2; exit 1; }
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# The identity service.
(cd "$here/tools/identity-dev" && exec node server.mjs) > "$tmp/idp.out" 2> "$tmp/idp.err" &
pids+=($!)
for _ in $(seq 50); do [ -s "$tmp/idp.out" ] && break; sleep 0.1; done
base=$(head -1 "$tmp/idp.out")
[ -n "$base" ] || fail "identity-dev did not start"

# The browser: follows the authorization redirect and hands it to quillet.
cat > "$tmp/browser" <<BROWSER
#!/bin/sh
target=\$(curl -s -o /dev/null -w '%{redirect_url}' "\$1")
echo "\$target" | grep -q '^quillet://auth/callback?' || { echo "no redirect" >> "$tmp/browser.log"; exit 1; }
exec "$quillet" "\$target"
BROWSER
chmod +x "$tmp/browser"

# The display xvfb-run gave us, else one of our own (1280 × 800 either way).
if [ -z "${DISPLAY:-}" ]; then
  display=:$((90 + RANDOM % 400))
  Xvfb "$display" -screen 0 1280x800x24 >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY="$display"
  sleep 1
fi
export BROWSER="$tmp/browser" QUILLET_AUTHORITY_URL="$base" \
       QUILLET_IDENTITY_URL="$base" QUILLET_CLIENT_ID=quillet-desktop

start_quillet() {
  "$quillet" >> "$tmp/quillet.out" 2>> "$tmp/quillet.err" &
  qpid=$!
  pids+=($qpid)
  for _ in $(seq 100); do "$quillet" --status > "$tmp/status.json" 2>/dev/null && return; sleep 0.1; done
  fail "quillet did not answer"
}
status() { "$quillet" --status | python3 -c "import json,sys; print(json.load(sys.stdin)$1)"; }
shot() { [ -n "${QUILLET_E2E_SHOTS:-}" ] && mkdir -p "$QUILLET_E2E_SHOTS" && import -window root "$QUILLET_E2E_SHOTS/$1.png" || true; }
chevron() {  # the chevron's centre in X coordinates
  "$quillet" --status | python3 -c '
import json, sys
s = json.load(sys.stdin)
f = next(i["frame"] for i in s["items"] if i["autosaveName"] == "quillet.toggle")
print(int(f["x"] + f["width"] / 2), int(800 - f["y"] - f["height"] / 2))'
}
until_status() {  # until_status EXPR VALUE MESSAGE: --status reads VALUE within 20 s
  for _ in $(seq 200); do [ "$(status "$1" 2>/dev/null)" = "$2" ] && return; sleep 0.1; done
  fail "$3"
}
open_settings() {  # the status menu's "Settings…", once the menu is really open
  xdotool mousemove "$cx" "$cy" click 3
  until_status '["menu"] is not None' True "the status menu did not open"
  xdotool mousemove "$cx" $((cy + 46)) click 1
  until_status '["menu"] is None' True "the status menu did not close"
  sleep 1.5
}
wait_for() {  # wait_for FILE PATTERN: the pattern appears in the file within 30 s
  for _ in $(seq 300); do grep -q "$2" "$1" && return; sleep 0.1; done
  fail "no '$2' in $1"
}

start_quillet
[ "$(status '["activationPolicy"]')" = accessory ] || fail "not accessory at launch"

# Settings… from the status menu (its second entry).
read -r cx cy < <(chevron)
open_settings
shot settings-signed-out
# "Sign In…" in the account box: the window is centred, 420 × 600.
xdotool mousemove 767 518 click 1
sleep 1
until_status '["activationPolicy"]' regular "the sign-in window did not make the app regular"
shot sign-in-window
# "Sign in with Google": the second provider button of the centred 520 × 640 window.
xdotool mousemove 640 435 click 1
wait_for "$tmp/idp.err" "POST /api/app-sessions/exchange -> 200"
sleep 1
shot settings-signed-in
grep -q "no redirect" "$tmp/browser.log" 2>/dev/null && fail "the browser got no redirect"

# A restart restores the session from the keyring: the account box offers "Sign Out" at once,
# and pressing it revokes.
kill "$qpid"
wait "$qpid" 2>/dev/null || true
start_quillet
read -r cx cy < <(chevron)
open_settings
shot settings-after-restart
xdotool mousemove 767 518 click 1
wait_for "$tmp/idp.err" "POST /api/sessions/revoke -> 200"
sleep 1
shot after-sign-out

# No secret in stderr.
if ! "$here/scripts/scan-secrets" "$tmp/quillet.err"; then
  fail "a secret reached stderr"
fi
echo "account end-to-end: 1 passed, 0 failed"
