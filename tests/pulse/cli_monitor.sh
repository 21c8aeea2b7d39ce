#!/usr/bin/env bash
# vextune monitor --device against the private server of
# scripts/pulse-session: a clip of the catalogue played into the null sink
# is heard on its monitor (the default source) and told as a play.
#   tests/pulse/cli_monitor.sh VEXTUNE CLIP...
set -euo pipefail
vextune=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/vxt-monitor.XXXXXX")
trap 'kill "${player:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

"$vextune" catalogue add --db "$work/music.db" "$@" > /dev/null
paplay --device=vxt_sink "$1" &
player=$!
"$vextune" monitor --db "$work/music.db" --device "" --seconds 12 --json > "$work/events" 2> "$work/notes"
title=$(basename "$1" .flac)
if ! grep -q "\"event\":\"play\".*\"title\":\"$title\"" "$work/events"; then
  echo "monitor: no play of $title heard from the sink's monitor" >&2
  cat "$work/events" "$work/notes" >&2
  exit 1
fi
grep -q 'followed 00:00:12.0 of audio' "$work/notes" || { cat "$work/notes" >&2; exit 1; }
echo "monitor: heard $title played into the sink"
