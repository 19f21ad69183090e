#!/usr/bin/env bash
# The desktop's colour scheme end to end (run under xvfb-run and dbus-run-session): with a
# settings portal on the session bus that prefers dark, quillet draws dark although Qt's palette
# here is light; when the portal's setting changes to light, and then to "no preference" after
# dark again, quillet follows (the palette deciding the last). Every wait is bounded.
set -euo pipefail
QUILLET=${1:?usage: appearance-end-to-end.sh PATH-TO-QUILLET PATH-TO-FAKE-PORTAL}
PORTAL=${2:?usage: appearance-end-to-end.sh PATH-TO-QUILLET PATH-TO-FAKE-PORTAL}
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || { echo "appearance end-to-end: no session bus" >&2; exit 1; }

WORK=$(mktemp -d /tmp/quillet-appearance-e2e-XXXXXX)
export XDG_CONFIG_HOME=$WORK/config XDG_RUNTIME_DIR=$WORK/runtime QUILLET_LOG_STDERR=1
unset QUILLET_COLOR_SCHEME
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
PID= FAKE=
cleanup() {
  for p in $PID $FAKE; do
    if kill -0 "$p" 2>/dev/null; then kill "$p"; wait "$p" 2>/dev/null || true; fi
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "appearance end-to-end: $*" >&2
  echo "--- quillet's log:" >&2; cat "$WORK/log" >&2 2>/dev/null || true
  exit 1
}
scheme() {
  "$QUILLET" --status 2>/dev/null | python3 -c "import json,sys; print(json.load(sys.stdin)['strip']['colorScheme'])"
}
scheme_until() {
  for _ in $(seq 100); do [ "$(scheme 2>/dev/null)" = "$1" ] && return 0; sleep 0.1; done
  return 1
}
set_portal() {
  dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop \
    /org/freedesktop/portal/desktop org.quillet.test.FakePortal.SetColorScheme "uint32:$1" >/dev/null
}

# The palette alone says light here: without a portal quillet is light.
"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
scheme_until light || fail "without a portal quillet is not light (the palette's scheme): $(scheme)"
kill "$PID"; wait "$PID" 2>/dev/null || true; PID=

"$PORTAL" 1 >"$WORK/portal" 2>&1 &
FAKE=$!
for _ in $(seq 100); do grep -q ready "$WORK/portal" && break; sleep 0.1; done
grep -q ready "$WORK/portal" || fail "the fake portal did not start: $(cat "$WORK/portal")"

"$QUILLET" >"$WORK/log" 2>&1 &
PID=$!
scheme_until dark || fail "the portal prefers dark, quillet is $(scheme)"
set_portal 2
scheme_until light || fail "the portal changed to light, quillet stayed $(scheme)"
set_portal 1
scheme_until dark || fail "the portal changed back to dark, quillet stayed $(scheme)"
set_portal 0
scheme_until light || fail "with no preference the palette's light did not return: $(scheme)"
echo "appearance end-to-end: ok"
