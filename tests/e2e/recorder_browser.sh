#!/usr/bin/env bash
# recorder_browser.sh RECORDER TEST_SERVER NODE_DIR SCREENSHOT: rtsp-recorder
# with two GStreamer test cameras (gate with numbered pictures, yard with
# audio behind Digest authentication) and its page behind Basic
# authentication, watched by headless Chromium (recorder_browser.js, with
# puppeteer-core installed into NODE_DIR by npm): both cameras play live,
# yard with sound, gate's pictures reach the page within 1.5 s (median),
# yard's killed server shows reconnecting and yard comes back, a recording
# of gate plays;
# /metrics is parsed by prometheus_client and checked against /api/cameras.
# Then a reload (SIGHUP) removes gate, adds porch (audio on its server, not
# recorded) and leaves yard's segment growing. SIGTERM closes every segment
# within 2 s and every segment decodes, yard's with audio. Saves the page's
# screenshot to SCREENSHOT.
set -uo pipefail
RECORDER="$1" SERVER_SCRIPT="$2" NODE_DIR="$3" SCREENSHOT="$4"
HERE="$(cd "$(dirname "$0")" && pwd)"
source "$HERE/recorder_common.sh"
CHROMIUM="$(command -v chromium || true)"
[ -n "$CHROMIUM" ] || skip "chromium is not installed (scripts/install-deps.sh installs it)"
command -v npm >/dev/null && command -v node >/dev/null || skip "node and npm are not installed"
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || skip "python3-prometheus-client missing"
command -v ffprobe >/dev/null || skip "ffmpeg is not installed"

# puppeteer-core, pinned, once per build directory.
if [ ! -d "$NODE_DIR/node_modules/puppeteer-core" ]; then
  mkdir -p "$NODE_DIR"
  timeout 300 npm install --prefix "$NODE_DIR" --no-audit --no-fund --silent \
    puppeteer-core@25.19.0 >"$WORK/npm.err" 2>&1 || fail "npm install puppeteer-core failed"
fi

start_camera gate --width 320 --height 240 --counter "$WORK/counter.log"
start_camera yard --width 352 --height 288 --auth digest --user viewer --password 's3cret' --audio aac

export YARD_PASSWORD='s3cret'
# config PAGE_PASSWORD CAMERA...: the configuration with these [[camera]] sections.
config() {
  printf '[server]\nlisten = "127.0.0.1:0"\nuser = "admin"\npassword = "%s"\n' "$1"
  printf '[store]\nroot = "%s"\nmax_bytes = "200M"\n' "$WORK/store"
  for camera in "${@:2}"; do
    case $camera in
      gate) printf '[[camera]]\nname = "gate"\nurl = "rtsp://127.0.0.1:%s/test"\nsegment_seconds = 2\n' "$PORT_gate" ;;
      # Long segments: a reload must leave the file being written alone.
      yard) printf '[[camera]]\nname = "yard"\nurl = "rtsp://127.0.0.1:%s/test"\nuser = "viewer"\npassword_env = "YARD_PASSWORD"\naudio = true\nsegment_seconds = 600\n' "$PORT_yard" ;;
      porch) printf '[[camera]]\nname = "porch"\nurl = "rtsp://127.0.0.1:%s/test"\n' "$PORT_porch" ;;
    esac
  done
}
config page-pass gate yard >"$WORK/cams.toml"
start_recorder "$WORK/cams.toml"
code="$(curl -s -o /dev/null -w '%{http_code}' "$URL")"
[ "$code" = 401 ] || fail "the page without credentials answered $code, not 401"
[ "$(curl -s "${URL}healthz")" = ok ] || fail "/healthz is not ok"

cat >"$WORK/browser.json" <<JSON
{"url": "$URL", "user": "admin", "password": "page-pass", "chromium": "$CHROMIUM",
 "screenshot": "$SCREENSHOT", "snapshotDir": "$WORK",
 "cameras": [{"name": "gate", "width": 320, "height": 240},
             {"name": "yard", "width": 352, "height": 288, "audio": true}],
 "counter": {"name": "gate", "log": "$WORK/counter.log"},
 "kill": {"name": "yard", "pid": $PID_yard, "pidFile": "$WORK/restarted.pid",
          "restart": ["/usr/bin/python3", "$SERVER_SCRIPT", "$PORT_yard", "--lifetime", "400",
                      "--width", "352", "--height", "288", "--auth", "digest", "--user", "viewer",
                      "--password", "s3cret", "--audio", "aac"]}}
JSON
NODE_PATH="$NODE_DIR/node_modules" timeout 540 node "$HERE/recorder_browser.js" "$WORK/browser.json" \
  >"$WORK/browser.out" 2>"$WORK/browser.err" ||
  fail "the browser test failed: $(cat "$WORK/browser.out" "$WORK/browser.err")"
cat "$WORK/browser.out"
/usr/bin/python3 "$HERE/recorder_metrics.py" "$WORK/metrics.txt" "$WORK/cameras.json" yard gate \
  2>"$WORK/metrics.err" || fail "/metrics: $(cat "$WORK/metrics.err")"
logged "camera yard: .*Trying again" || fail "no reconnection logged for yard"

# Reload: gate goes (its last segment closed), porch comes, yard goes on in the same file.
start_camera porch --audio aac
# field CAMERA KEY: the value of KEY for CAMERA in /api/cameras.
field() {
  curl -s -u admin:page-pass "${URL}api/cameras" | /usr/bin/python3 -c \
    'import json, sys; print([c[sys.argv[2]] for c in json.load(sys.stdin) if c["name"] == sys.argv[1]][0])' "$1" "$2"
}
yard_before="$(field yard currentFile)"
size_before=$(stat -c %s "$yard_before")
config other-pass yard porch >"$WORK/cams.toml"
kill -HUP "$RECORDER_PID"
await "the reload" logged "reloaded .*: 1 added, 1 removed, 0 restarted, 1 untouched"
logged "camera gate: stopped; its last segment is closed" || fail "gate's last segment was not closed"
logged "reload: the \[server\] settings take effect at the next start" || fail "no word on [server]"
all_decode "$WORK/store/gate" "gate after its removal"
[ "$(field yard currentFile)" = "$yard_before" ] || fail "the reload restarted yard's segment"
grown() { [ "$(stat -c %s "$yard_before")" -gt "$size_before" ]; }
await "yard's segment grows" grown
porch_records() { [ "$(field porch frames)" -gt 0 ] 2>/dev/null; }
await "porch records" porch_records

# SIGTERM: every segment closed within 2 s, and every segment decodes.
start=$(date +%s%N)
stop_recorder "SIGTERM"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$elapsed_ms" -lt 2000 ] || fail "SIGTERM took $elapsed_ms ms"
logged "every segment is closed" || fail "no clean stop logged"
all_decode "$WORK/store/yard" "after SIGTERM" "audio video "
all_decode "$WORK/store/porch" "after SIGTERM (audio = false)" "video "
all_decode "$WORK/store/gate" "after SIGTERM"
[ "$SEGMENTS" -ge 2 ] || fail "gate: only $SEGMENTS segments"
echo "rtsp-recorder browser test passed (SIGTERM to exit: $elapsed_ms ms)"
