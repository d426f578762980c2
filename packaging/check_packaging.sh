#!/usr/bin/env bash
# Checks the desktop entries with desktop-file-validate and the user unit with
# systemd-analyze. Hints pass; any error or warning fails.
# Usage: check_packaging.sh DESKTOP_FILE... UNIT_FILE
set -uo pipefail

status=0
unit="${*: -1}"
desktop_files=("${@:1:$#-1}")

for file in "${desktop_files[@]}"; do
  out=$(desktop-file-validate "$file" 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || grep -qE ': (error|warning):' <<<"$out"; then
    echo "$out"
    status=1
  fi
done

grep -qE '^ExecStart=/.*/deskwave --headless$' "$unit" || {
  echo "$unit: ExecStart does not run the installed deskwave --headless"
  status=1
}

# The program is not installed where the unit points, so the copy checked runs
# /bin/true instead; systemd-analyze needs a runtime folder of its own.
dir=$(mktemp -d "${TMPDIR:-/tmp}/deskwave-unit.XXXXXX")
chmod 700 "$dir"
trap 'rm -rf "$dir"' EXIT
sed -E 's|^ExecStart=[^ ]+|ExecStart=/bin/true|' "$unit" >"$dir/$(basename "$unit")"
out=$(XDG_RUNTIME_DIR="$dir" HOME="$dir" systemd-analyze verify --user "$dir/$(basename "$unit")" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ -n "$out" ]; then
  echo "$out"
  status=1
fi

exit $status
