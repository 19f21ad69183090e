#!/bin/sh
# Runs the desktop Keychain tests against a fresh gnome-keyring in a private D-Bus session.
set -eu
binary="$1"
shift
exec "$(dirname "$0")/with-keyring.sh" "$binary" --gtest_filter="DesktopKeychain.*" "$@"
