#!/bin/sh
# Checks the service's systemd unit with systemd-analyze verify: no error
# and no warning (an unknown or misspelt key is only a warning to systemd).
# The unit's ExecStart names the installed binary; it is checked with the
# built one in its place. Skipped (77) where systemd-analyze is missing.
# usage: verify_unit.sh UNIT VEXTUNE
set -eu
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/vextune |$2 |" "$1" >"$dir/$(basename "$1")"
if ! grep -q "^ExecStart=$2 " "$dir/$(basename "$1")"; then
  echo "the unit's ExecStart does not run /usr/bin/vextune"
  exit 1
fi
systemd-analyze verify "$dir/$(basename "$1")" >"$dir/said" 2>&1 || { cat "$dir/said"; exit 1; }
if [ -s "$dir/said" ]; then
  cat "$dir/said"
  exit 1
fi
