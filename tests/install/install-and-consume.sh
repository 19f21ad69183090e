#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a user's system and another program
# get: the binary (the only thing in bin/) with its Info.json under share/quillet, starting and
# answering, the desktop entry with the quillet:// scheme
# (desktop-file-validate), the icons in the hicolor theme, the AppStream metainfo (appstreamcli
# validate), and the account library's CMake package, against which a small consumer is
# configured, built and run.
# Usage: install-and-consume.sh BUILD-DIR CONSUMER-SOURCE-DIR [CXX-FLAGS]
set -euo pipefail
BUILD=${1:?usage: install-and-consume.sh BUILD-DIR CONSUMER-SOURCE-DIR}
CONSUMER=${2:?usage: install-and-consume.sh BUILD-DIR CONSUMER-SOURCE-DIR}
FLAGS=${3:-}
ID=com.corvane.quillet

PREFIX=$(mktemp -d /tmp/quillet-install-XXXXXX)
trap 'rm -rf "$PREFIX"' EXIT
fail() { echo "install and consume: $*" >&2; exit 1; }
need() {
  command -v "$1" >/dev/null && return 0
  # Under CI a missing validator is a failure; elsewhere its check is skipped, loudly.
  if [ "${CI:-}" = true ]; then fail "$1 is missing (scripts/install-deps installs $2)"; fi
  echo "install and consume: $1 is missing, its check is skipped (package $2)" >&2
  return 1
}

cmake --install "$BUILD" --prefix "$PREFIX" >"$PREFIX.log" 2>&1 || { cat "$PREFIX.log" >&2; rm -f "$PREFIX.log"; fail "cmake --install failed"; }
rm -f "$PREFIX.log"

for f in bin/quillet share/quillet/Info.json "share/applications/$ID.desktop" \
         "share/icons/hicolor/scalable/apps/$ID.svg" "share/icons/hicolor/256x256/apps/$ID.png" \
         "share/metainfo/$ID.metainfo.xml" lib/libcorvane_account.a lib/liboidc.a lib/libplatform.a \
         lib/cmake/CorvaneAccount/CorvaneAccountConfig.cmake \
         lib/cmake/CorvaneAccount/CorvaneAccountConfigVersion.cmake \
         include/corvane/CorvaneAccount/Foundation/CorvaneAccountLibrary.h \
         include/corvane/OIDC/TokenUtilities.h include/corvane/Platform/Host.h; do
  [ -e "$PREFIX/$f" ] || fail "$f was not installed"
done
[ -x "$PREFIX/bin/quillet" ] || fail "bin/quillet is not executable"
# Nothing but programs in bin/.
for f in "$PREFIX"/bin/*; do
  [ -f "$f" ] && [ -x "$f" ] || fail "bin/ holds ${f##*/}, which is no program"
done
# The hosts are not part of the library's headers.
if [ -e "$PREFIX/include/corvane/Platform/Sim" ] || [ -e "$PREFIX/include/corvane/Platform/Desktop" ]; then
  fail "the simulated or desktop host's headers were installed with the library"
fi
python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if d['CFBundleIdentifier'] == '$ID' else 1)" \
  "$PREFIX/share/quillet/Info.json" || fail "the installed Info.json does not name $ID"
# The 256 px icon really is 256 x 256 (PNG header: width and height at bytes 16-23).
python3 -c "import struct,sys; b=open(sys.argv[1],'rb').read(24); sys.exit(0 if b[:8] == b'\x89PNG\r\n\x1a\n' and struct.unpack('>II', b[16:24]) == (256, 256) else 1)" \
  "$PREFIX/share/icons/hicolor/256x256/apps/$ID.png" || fail "the 256 px icon is not a 256 x 256 PNG"

ENTRY="$PREFIX/share/applications/$ID.desktop"
grep -qx 'MimeType=x-scheme-handler/quillet;' "$ENTRY" || fail "the desktop entry does not handle quillet://"
grep -q '^Exec=.*quillet.* %u$' "$ENTRY" || fail "the desktop entry does not pass the URL to quillet"
grep -qx "Icon=$ID" "$ENTRY" || fail "the desktop entry does not name the icon $ID"
# Exec starts the binary of this prefix, wherever it is.
EXEC=$(sed -n 's/^Exec="\{0,1\}\([^"]*\)"\{0,1\} %u$/\1/p' "$ENTRY")
[ "$EXEC" = "$PREFIX/bin/quillet" ] || fail "the desktop entry starts \"$EXEC\", not $PREFIX/bin/quillet"
# Staged with DESTDIR, the entry names the final place, without the staging folder.
STAGE="$PREFIX/stage"
DESTDIR="$STAGE" cmake --install "$BUILD" --prefix /opt/quillet-test >/dev/null 2>&1 ||
  fail "cmake --install with DESTDIR failed"
grep -qx 'Exec="/opt/quillet-test/bin/quillet" %u' "$STAGE/opt/quillet-test/share/applications/$ID.desktop" ||
  fail "with DESTDIR the desktop entry does not start /opt/quillet-test/bin/quillet"
rm -rf "$STAGE"
# The installed binary starts and answers; installed, it shows no made-up sample items.
RUNTIME="$PREFIX/runtime"; mkdir -m 700 "$RUNTIME"
user() { env XDG_RUNTIME_DIR="$RUNTIME" HOME="$PREFIX/home" XDG_CONFIG_HOME="$PREFIX/home/.config" \
  XDG_DATA_HOME="$PREFIX/home/.local/share" "$@"; }
# env execs the program: $! is quillet itself, which the kill below ends.
env XDG_RUNTIME_DIR="$RUNTIME" HOME="$PREFIX/home" XDG_CONFIG_HOME="$PREFIX/home/.config" \
  XDG_DATA_HOME="$PREFIX/home/.local/share" QT_QPA_PLATFORM=offscreen \
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$EXEC" --no-tray-items >"$PREFIX/run.log" 2>&1 &
APP=$!
STATUS=
for _ in $(seq 1 100); do
  STATUS=$(user "$EXEC" --status 2>/dev/null) && break
  kill -0 "$APP" 2>/dev/null || { cat "$PREFIX/run.log" >&2; fail "the installed quillet did not start"; }
  sleep 0.2
done
kill "$APP" 2>/dev/null || true; wait "$APP" 2>/dev/null || true
[ -n "$STATUS" ] || { cat "$PREFIX/run.log" >&2; fail "the installed quillet did not answer --status"; }
python3 -c "import json,sys; d=json.load(sys.stdin); o=[i['owner'] for i in d['items'] if not i['own'] and i['autosaveName'] not in ('com.apple.clock','com.apple.controlcenter')]; sys.exit(1 if o else 0)" <<<"$STATUS" ||
  fail "the installed quillet shows sample items"
if need desktop-file-validate desktop-file-utils; then
  desktop-file-validate "$ENTRY" || fail "desktop-file-validate refused the desktop entry"
fi
if need appstreamcli appstream; then
  appstreamcli validate --no-net "$PREFIX/share/metainfo/$ID.metainfo.xml" ||
    fail "appstreamcli refused the metainfo"
fi

# Someone else's program, built against the installed package only.
cmake -S "$CONSUMER" -B "$PREFIX/consumer-build" -DCMAKE_PREFIX_PATH="$PREFIX" \
      -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$FLAGS" >"$PREFIX/consumer.log" 2>&1 ||
  { cat "$PREFIX/consumer.log" >&2; fail "the consumer did not configure against the package"; }
cmake --build "$PREFIX/consumer-build" >>"$PREFIX/consumer.log" 2>&1 ||
  { cat "$PREFIX/consumer.log" >&2; fail "the consumer did not build against the package"; }
LINE=$("$PREFIX/consumer-build/corvane_consumer") || fail "the consumer failed"
VERSION=$(sed -n 's/.*libVersion = "\([0-9.]*\)".*/\1/p' "$PREFIX/include/corvane/CorvaneAccount/Foundation/CorvaneAccountLibrary.h")
[ "$LINE" = "CorvaneAccount/$VERSION (consumer)" ] || fail "the consumer printed \"$LINE\""
echo "install and consume: ok ($LINE)"
