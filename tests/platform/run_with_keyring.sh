#!/usr/bin/env bash
# Runs a command inside a private D-Bus session with its own GNOME Keyring,
# unlocked without a prompt, in a temporary home. The real session and keyring
# are untouched; the keyring daemon leaves with the session bus.
set -euo pipefail

dir=$(mktemp -d "${TMPDIR:-/tmp}/deskwave-keyring.XXXXXX")
chmod 700 "$dir"
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/home" "$dir/run"
chmod 700 "$dir/run"

export HOME="$dir/home"
export XDG_RUNTIME_DIR="$dir/run"
export XDG_DATA_HOME="$dir/home/.local/share"
export XDG_CONFIG_HOME="$dir/home/.config"
unset DBUS_SESSION_BUS_ADDRESS DISPLAY GNOME_KEYRING_CONTROL
export DESKWAVE_TEST_KEYRING=1

dbus-run-session -- bash -c '
  # Creates the "login" collection unlocked with this password, which becomes the default one.
  printf %s deskwave-test | gnome-keyring-daemon --daemonize --unlock --components=secrets >/dev/null
  "$@"
' run_with_keyring "$@"
