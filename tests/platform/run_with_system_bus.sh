#!/usr/bin/env bash
# Runs a command with a private message bus standing in for the system bus
# (DBUS_SYSTEM_BUS_ADDRESS points at it). The real system bus is untouched;
# the private bus stops with the command.
set -euo pipefail

unset DBUS_SESSION_BUS_ADDRESS
export DESKWAVE_TEST_SYSTEM_BUS=1

dbus-run-session -- bash -c '
  export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"
  unset DBUS_SESSION_BUS_ADDRESS
  "$@"
' run_with_system_bus "$@"
