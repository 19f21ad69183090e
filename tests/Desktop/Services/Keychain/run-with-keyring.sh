#!/bin/sh
# Runs the desktop Keychain tests against a fresh gnome-keyring in a private D-Bus session,
# with a temporary HOME so nothing touches the user's own keyring.
set -eu
binary="$1"
shift
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
  exec "$0" --gtest_filter="DesktopKeychain.*" "$@"
' "$binary" "$@"
