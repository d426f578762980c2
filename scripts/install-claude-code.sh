#!/usr/bin/env bash
# Installs the pinned Claude Code CLI (its native Linux binary, from the npm
# platform package) into a cache folder for the whole-system tests, and prints
# the binary's path. Nothing is installed when that version is already there.
#
#   scripts/install-claude-code.sh            # install if needed, print the path
#   scripts/install-claude-code.sh --path     # only print where it goes
#
# The binary is run directly: the wrapper package's install script (which only
# links this binary) is not needed.
set -euo pipefail

claude_code_version=2.1.341
package="@anthropic-ai/claude-code-linux-x64"
prefix="${XDG_CACHE_HOME:-$HOME/.cache}/deskwave/claude-code/$claude_code_version"
binary="$prefix/node_modules/$package/claude"

if [ "${1:-}" = "--path" ]; then
  echo "$binary"
  exit 0
fi

if [ ! -x "$binary" ] || [ "$("$binary" --version 2>/dev/null | cut -d' ' -f1)" != "$claude_code_version" ]; then
  command -v npm >/dev/null || { echo "install-claude-code: npm is needed (scripts/install-deps.sh installs it)" >&2; exit 1; }
  mkdir -p "$prefix"
  npm install --prefix "$prefix" --no-save --ignore-scripts --no-audit --no-fund --loglevel=error \
    "$package@$claude_code_version" >&2
  [ -x "$binary" ] || { echo "install-claude-code: $binary is missing after the install" >&2; exit 1; }
fi
echo "$binary"
