#!/usr/bin/env bash
# The demo: installs what is missing, builds rtsp-pull, starts a local
# GStreamer RTSP server with a moving test pattern, records about five
# seconds of it into demo.mp4 and shows what ffprobe makes of the file.
#   BUILD_DIR  build directory (default: build-demo)
#   SECONDS_TO_PULL  length of the pull (default: 5)
# Leaves no process running, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${BUILD_DIR:-build-demo}"
PULL_SECONDS="${SECONDS_TO_PULL:-5}"
WIDTH=640
HEIGHT=360
FPS=30
OUT=demo.mp4

SERVER_PID=""
WORK="$(mktemp -d /tmp/rtsp-pull-demo.XXXXXX)"
cleanup() {
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 30); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "Installing missing packages"
bash scripts/install-deps.sh

step "Building rtsp-pull in $BUILD_DIR"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRTSPPULL_BUILD_TESTS=OFF -DRTSPPULL_BUILD_TOOLS=ON >"$WORK/cmake.log" ||
  { cat "$WORK/cmake.log"; exit 1; }
cmake --build "$BUILD_DIR" --target rtsp-pull -j "$(nproc)" >"$WORK/build.log" ||
  { tail -n 50 "$WORK/build.log"; exit 1; }
PULL="$BUILD_DIR/tools/rtsp-pull/rtsp-pull"
echo "built $PULL"

step "Starting the test server (GStreamer, ${WIDTH}x$HEIGHT at $FPS fps, H.264)"
/usr/bin/python3 scripts/test-server.py 0 --lifetime $((PULL_SECONDS + 60)) \
  --width "$WIDTH" --height "$HEIGHT" --fps "$FPS" >"$WORK/port" 2>"$WORK/server.err" &
SERVER_PID=$!
PORT=""
for _ in $(seq 300); do
  PORT="$(head -n 1 "$WORK/port" 2>/dev/null || true)"
  [ -n "$PORT" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$PORT" ]; then
  echo "the test server did not start:" >&2
  cat "$WORK/server.err" >&2
  exit 1
fi
URL="rtsp://127.0.0.1:$PORT/test"
echo "serving $URL"

step "Recording $PULL_SECONDS seconds into $OUT"
echo "\$ rtsp-pull --overwrite -t $PULL_SECONDS -o $OUT $URL"
set +e
"$PULL" --overwrite -t "$PULL_SECONDS" -o "$OUT" "$URL"
status=$?
set -e
echo "rtsp-pull exit status: $status"

kill "$SERVER_PID" 2>/dev/null || true
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=""
echo "test server stopped"
[ "$status" -eq 0 ] || exit "$status"

step "What ffprobe reports of $OUT"
probe="$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=codec_name,width,height,avg_frame_rate,nb_read_frames:format=duration \
  -of default=noprint_wrappers=1 "$OUT")"
value() { sed -n "s/^$1=//p" <<<"$probe" | head -n 1; }
codec="$(value codec_name)" width="$(value width)" height="$(value height)"
rate="$(value avg_frame_rate)" frames="$(value nb_read_frames)" duration="$(value duration)"
echo "file:       $OUT, $(stat -c %s "$OUT") bytes"
echo "codec:      $codec"
echo "resolution: ${width}x$height (server: ${WIDTH}x$HEIGHT)"
echo "frame rate: $rate (server: $FPS/1)"
echo "duration:   $duration s"
echo "frames:     $frames decodable (about $((PULL_SECONDS * FPS)) expected for $PULL_SECONDS s at $FPS fps)"
if [ "$codec" != h264 ] || [ "$width" != "$WIDTH" ] || [ "$height" != "$HEIGHT" ] ||
  [ "${frames:-0}" -lt 1 ]; then
  echo "demo: the file is not what the server sent" >&2
  exit 1
fi
echo
echo "Play it with: ffplay $OUT"
