#!/bin/sh
# Runs a program against a fresh, unlocked gnome-keyring in a private D-Bus session, with a
# temporary HOME so nothing touches the user's own keyring. Its exit status is the program's.
#   with-keyring.sh PROGRAM [ARGUMENT...]
set -eu
for tool in dbus-run-session gnome-keyring-daemon; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "with-keyring.sh: $tool is missing (scripts/install-deps installs it)" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home" "$tmp/config" "$tmp/data" "$tmp/runtime"
chmod 700 "$tmp/runtime"
export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" XDG_DATA_HOME="$tmp/data" \
       XDG_RUNTIME_DIR="$tmp/runtime"
unset DISPLAY WAYLAND_DISPLAY
dbus-run-session -- sh -c '
  # An empty password creates and unlocks the login keyring, which becomes the default.
  eval "$(echo | gnome-keyring-daemon --unlock --components=secrets)"
  export GNOME_KEYRING_CONTROL
  # The daemon leaves by itself when this private bus closes.
  exec "$@"
' with-keyring "$@"
