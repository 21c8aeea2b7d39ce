#!/usr/bin/env bash
# vextune devices and vextune listen against the private server of
# scripts/pulse-session: the null sink's monitor is listed as the default
# source, and a tone played into the sink is captured and signed.
#   tests/pulse/cli_listen.sh VEXTUNE
set -euo pipefail
vextune=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/vxt-listen.XXXXXX")
trap 'kill "${player:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

# Four seconds of rising notes, 400 to 1900 Hz a quarter-second each (a
# repeated tone makes no peaks: they are maxima in time as well), 16-bit
# mono at 16 kHz.
tone=$work/tone.wav
python3 - "$tone" <<'PY'
import math, struct, sys
rate = 16000
def note(i):
    f = 400 + 100 * (i // (rate // 4))
    return int(12000 * math.sin(2 * math.pi * f * i / rate))
data = b"".join(struct.pack("<h", note(i)) for i in range(4 * rate))
header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, 2 * rate, 2, 16)
open(sys.argv[1], "wb").write(header + b"data" + struct.pack("<I", len(data)) + data)
PY

"$vextune" devices > "$work/devices"
grep -q '^\* vxt_sink.monitor' "$work/devices" || { echo "devices: no default vxt_sink.monitor" >&2; cat "$work/devices" >&2; exit 1; }

paplay --device=vxt_sink "$tone" &
player=$!
"$vextune" listen --seconds 3 -o "$work/tone.sig"
"$vextune" dump --json -v 4 "$work/tone.sig" > "$work/tone.json"
grep -q '"valid": true' "$work/tone.json" || { echo "listen: the signature is not valid" >&2; exit 1; }
# The tone's peaks are in the signature.
peaks=$(grep -Ec '"frequency_hz": (([4-9][0-9][0-9])|(1[0-9][0-9][0-9]))\.' "$work/tone.json" || true)
if [ "$peaks" -lt 3 ]; then
  echo "listen: $peaks peaks of the notes in the signature, expected at least 3" >&2
  exit 1
fi
echo "listen: captured and signed the notes ($peaks peaks)"
