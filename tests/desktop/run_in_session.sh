#!/usr/bin/env bash
# Runs a command inside a private headless desktop: an X server on a free
# display (no TCP), a private D-Bus session bus and the accessibility bus.
# Everything it starts stops with the command; the real session is untouched.
set -euo pipefail

session_dir=$(mktemp -d "${TMPDIR:-/tmp}/deskwave-session.XXXXXX")
chmod 700 "$session_dir"
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$session_dir"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to the given descriptor.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$session_dir/display" >"$session_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$session_dir/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$session_dir/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
[ -s "$session_dir/display" ] || { echo "run_in_session: Xvfb did not start" >&2; exit 1; }

export DISPLAY=":$(tr -d '[:space:]' <"$session_dir/display")"
export XDG_RUNTIME_DIR="$session_dir"
export GDK_BACKEND=x11
unset NO_AT_BRIDGE AT_SPI_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS
export DESKWAVE_TEST_SESSION=1

# Asking the session bus for the accessibility bus's address starts it.
dbus-run-session -- bash -c '
  gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
    --method org.a11y.Bus.GetAddress >/dev/null
  "$@"
  status=$?
  exit $status
' run_in_session "$@"
