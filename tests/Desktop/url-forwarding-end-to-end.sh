#!/usr/bin/env bash
# A quillet:// URL reaches a running Quillet that is slow to answer: a stand-in instance holds
# the instance lock and answers only after 5 s; the second process keeps asking (up to 30 s)
# instead of starting as a second instance, and exits 0 once the URL is taken. With no instance
# at all it does not wait.
# Usage: url-forwarding-end-to-end.sh QUILLET
set -euo pipefail
QUILLET=${1:?usage: url-forwarding-end-to-end.sh QUILLET}
WORK=$(mktemp -d /tmp/quillet-url-XXXXXX)
chmod 700 "$WORK"
STANDIN=
cleanup() {
  [ -n "$STANDIN" ] && kill "$STANDIN" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "url forwarding: $*" >&2; exit 1; }
mkdir -m 700 "$WORK/quillet"

python3 - "$WORK/quillet" >"$WORK/standin.log" 2>&1 <<'PY' &
import fcntl, os, socket, sys, time
d = sys.argv[1]
lock = open(os.path.join(d, "instance.lock"), "w")
fcntl.flock(lock, fcntl.LOCK_EX)
server = socket.socket(socket.AF_UNIX)
server.bind(os.path.join(d, "instance.sock"))
server.listen(8)
print("ready", flush=True)
start = time.monotonic()
while True:
    conn, _ = server.accept()
    data = b""
    while not data.endswith(b"\n"):
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    # Busy for the first 5 s (a sign-in return while the instance loads): no answer.
    if time.monotonic() - start < 5:
        conn.close()
        print("ignored", flush=True)
        continue
    print("got " + data.decode().strip(), flush=True)
    conn.sendall(b'{"ok":true}\n')
    conn.close()
PY
STANDIN=$!
for _ in $(seq 1 50); do grep -q ready "$WORK/standin.log" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$WORK/standin.log" || fail "the stand-in instance did not start"

URL='quillet://auth/callback?state=forwarding-test'
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$WORK" \
  timeout 40 "$QUILLET" "$URL" >"$WORK/out.log" 2>&1 || {
  cat "$WORK/out.log" "$WORK/standin.log" >&2
  fail "the URL was not delivered to the slow instance"
}
grep -q "got .*forwarding-test" "$WORK/standin.log" || fail "the instance never received the URL"

# No instance at all: the process becomes the instance at once (here it stops for want of a
# display), without waiting for anybody.
kill "$STANDIN"; wait "$STANDIN" 2>/dev/null || true; STANDIN=
rm -f "$WORK/quillet/instance.sock"
START=$(date +%s)
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$WORK" \
  timeout 40 "$QUILLET" "$URL" >"$WORK/out2.log" 2>&1 && fail "a display-less instance claimed to run"
grep -q "no display" "$WORK/out2.log" || { cat "$WORK/out2.log" >&2; fail "did not start as the instance"; }
[ $(( $(date +%s) - START )) -lt 10 ] || fail "waited for an instance that does not exist"
echo "url forwarding: ok"
