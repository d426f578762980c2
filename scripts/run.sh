#!/usr/bin/env bash
# Installs what the build needs, builds Deskwave and runs it, together with
# local stand-ins for the outside services it talks to: the relay
# (deskwave-relay on 127.0.0.1:8080) and the account service (deskwave-accounts
# on 127.0.0.1:8766, codes printed in its log). A stand-in is not started when
# the environment names a real service (DESKWAVE_RELAY_URL,
# DESKWAVE_COGNITO_ENDPOINT). The stand-ins stop when Deskwave stops.
set -euo pipefail
cd "$(dirname "$0")/.."

"./scripts/install-deps.sh"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target deskwave deskwave-relay deskwave-accounts

standins=()
trap 'for pid in "${standins[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT
if [ -z "${DESKWAVE_RELAY_URL:-}" ]; then
  ./build/services/relay/deskwave-relay --listen 127.0.0.1:8080 &
  standins+=($!)
fi
if [ -z "${DESKWAVE_COGNITO_ENDPOINT:-}" ]; then
  ./build/services/accounts/deskwave-accounts --listen 127.0.0.1:8766 \
    --client-id "${DESKWAVE_COGNITO_CLIENT_ID:-deskwavedevclient00000000}" &
  standins+=($!)
fi

./build/src/deskwave "$@"
