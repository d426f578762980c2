#!/usr/bin/env bash
# Installs what the build needs, builds Deskwave and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

"./scripts/install-deps.sh"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target deskwave
exec ./build/src/deskwave --headless "$@"
