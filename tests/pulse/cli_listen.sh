#!/usr/bin/env bash
# vextune devices, listen and recognize against the private server of
# scripts/pulse-session: the null sink's monitor is listed as the default
# source, notes played into the sink are captured and signed, and a
# recognition from the microphone is answered by a small JSON service on
# 127.0.0.1.
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

# recognize from the microphone: a small JSON service on 127.0.0.1 answers,
# the result document carries its answer.
cat > "$work/service.py" <<'PY'
import http.server, json, sys
class Service(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        request = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        body = json.dumps({"heard_ms": request["ms"], "sig_chars": len(request["sig"])}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Service)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 "$work/service.py" > "$work/port" &
service=$!
trap 'kill "${player:-}" "${service:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
printf '{"tag": {"href": "http://127.0.0.1:%s/id", "maxsamplems": 2000, "minsamplems": 1500}, "tagid": "mic", "data": {"sig": "{sigdata}", "ms": "{samplems}"}}' "$port" > "$work/request.json"
paplay --device=vxt_sink "$tone" &
player=$!
"$vextune" recognize --request "$work/request.json" > "$work/result.json"
python3 - "$work/result.json" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
response = result["tag"]["response"]
assert response["heard_ms"] >= 1500, response
assert response["sig_chars"] > 100, response
assert result["tag"]["info"]["tagid"] == "mic"
PY
echo "recognize: the service answered a recognition from the microphone"
