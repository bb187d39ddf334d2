#!/usr/bin/env bash
# udp_interop.sh PROGRAM TEST_SERVER SERVER: pulls with PROGRAM (rtsp-pull)
# from a real RTSP server on 127.0.0.1 over UDP, and over UDP-then-TCP,
# and checks with ffprobe that what it wrote decodes. SERVER:
#   gstreamer  GStreamer's server offering UDP only, with a 2 s session
#              timeout (a 10 s pull must outlive it: receiver reports keep the
#              session); then TCP only (UDP-then-TCP gets 461, falls back);
#              then both (UDP-then-TCP keeps UDP)
#   vlc        VLC's RTSP output, looping a clip (run as nobody: VLC refuses root)
#   perl       the Perl RTSP server, with ffmpeg publishing into it
# Exit 77 (skipped) when the server, ffmpeg or ffprobe is missing.
set -uo pipefail
PROG="$1" TEST_SERVER="$2" SERVER="$3" WORK="$(mktemp -d /tmp/rtsppull-udp.XXXXXX)"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err "$WORK"/*.log; do [ -s "$f" ] && echo "== $f" >&2 && tail -n 30 "$f" >&2; done
  exit 1
}
skip() { echo "SKIP: $*" && exit 77; }
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Waits until 127.0.0.1:$1 accepts connections.
await_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  fail "nothing listens on port $1"
}
# pull NAME TRANSPORT EXPECT SECONDS: one pull from $PORT that must use
# EXPECT (UDP or TCP), then ffprobe on what was written.
pull() {
  local name="$1"
  "$PROG" -v -t "$4" --transport "$2" --format annexb -o "$WORK/$name.h264" \
    "rtsp://127.0.0.1:$PORT/test" 2>"$WORK/$name.log" || fail "$name: the pull failed (status $?)"
  grep -q "^rtsp| Transport: $3" "$WORK/$name.log" || fail "$name: not over $3"
  frames="$(ffprobe -v error -count_frames -select_streams v:0 -show_entries \
    stream=codec_name,nb_read_frames -of csv=p=0 "$WORK/$name.h264")"
  [[ "$frames" =~ ^h264,([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -ge 10 ] ||
    fail "$name: ffprobe read \"$frames\""
  echo "$name: ffprobe decoded ${BASH_REMATCH[1]} frames"
}
# pull_udp_and_auto NAME: two 4 s pulls from $PORT that must both use UDP.
pull_udp_and_auto() {
  pull "$1-udp" udp UDP 4
  pull "$1-auto" auto UDP 4
}
# gst_server NAME ARGS...: starts the test server, sets PORT.
gst_server() {
  local name="$1"
  shift
  /usr/bin/python3 "$TEST_SERVER" 0 --lifetime 40 "$@" >"$WORK/$name.port" 2>"$WORK/$name.err" &
  local pid=$!
  PIDS+=("$pid")
  for _ in $(seq 300); do
    PORT="$(head -n 1 "$WORK/$name.port")" && [ -n "$PORT" ] && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      [ $? -eq 77 ] && skip "$(cat "$WORK/$name.err")"
      fail "the test server exited"
    fi
    sleep 0.1
  done
  fail "the test server did not report its port"
}
# A 4 s H.264 clip (a keyframe every second) that VLC and ffmpeg can stream.
make_clip() {
  ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 4 -c:v libx264 \
    -profile:v baseline -pix_fmt yuv420p -g 25 -bf 0 "$WORK/clip.mp4" ||
    fail "ffmpeg could not make the clip"
  chmod 755 "$WORK" && chmod 644 "$WORK/clip.mp4"
}

command -v /usr/bin/python3 ffprobe ffmpeg >/dev/null || skip "python3 or ffmpeg is not installed"

case "$SERVER" in
gstreamer)
  gst_server udp --protocols udp --session-timeout 2
  pull gst-udp udp UDP 10
  grep -q expired "$WORK/udp.err" && fail "the server expired the session"
  gst_server tcp --protocols tcp
  pull gst-tcp-only auto TCP 3
  gst_server all --protocols all
  pull gst-all auto UDP 3
  ;;
vlc)
  command -v cvlc >/dev/null || skip "VLC is not installed"
  id nobody >/dev/null 2>&1 || skip "no user nobody to run VLC as"
  make_clip
  PORT="$(free_port)"
  if [ "$(id -u)" -eq 0 ]; then AS_NOBODY=(runuser -u nobody --); else AS_NOBODY=(); fi
  # gather: the RTP output (and the sessions on it) survives each loop of the clip.
  "${AS_NOBODY[@]}" cvlc -I dummy "$WORK/clip.mp4" --sout "#gather:rtp{sdp=rtsp://127.0.0.1:$PORT/test}" \
    --sout-keep --loop >"$WORK/vlc.err" 2>&1 &
  PIDS+=($!)
  await_port "$PORT"
  pull_udp_and_auto vlc
  ;;
perl)
  command -v rtsp-server-perl >/dev/null || skip "rtsp-server-perl is not installed"
  make_clip
  PORT="$(free_port)" SOURCE_PORT="$(free_port)"
  # Its RTP ports count up from 20000 unless told otherwise: another run at
  # the same time would hold them.
  rtsp-server-perl --clientport "$PORT" --serverport "$SOURCE_PORT" \
    --rtp_start_port "$((20000 + $$ % 4000 * 2))" \
    --client_listen_address 127.0.0.1 --source_listen_address 127.0.0.1 >"$WORK/perl.err" 2>&1 &
  PIDS+=($!)
  await_port "$SOURCE_PORT"
  ffmpeg -v error -re -stream_loop -1 -i "$WORK/clip.mp4" -c copy -f rtsp \
    "rtsp://127.0.0.1:$SOURCE_PORT/test" >"$WORK/ffmpeg.err" 2>&1 &
  PIDS+=($!)
  sleep 1.5
  pull_udp_and_auto perl
  ;;
*) fail "unknown server $SERVER" ;;
esac
echo "PASS: $SERVER"
