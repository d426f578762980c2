#!/usr/bin/env bash
# Runs a command in a private network namespace with only loopback up, so that
# servers on fixed ports (the local link's 8765) never meet the machine's own,
# and nothing (DNS-SD multicast included) reaches a real interface; inside it,
# the private headless desktop of run_in_session.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${DESKWAVE_ISOLATED:-}" != 1 ]; then
  export DESKWAVE_ISOLATED=1
  exec unshare --net --map-root-user -- "$0" "$@"
fi
ip link set lo up
exec "$here/../desktop/run_in_session.sh" "$@"
