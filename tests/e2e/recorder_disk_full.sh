#!/usr/bin/env bash
# recorder_disk_full.sh RECORDER TEST_SERVER: rtsp-recorder on a small tmpfs
# that a filler file makes full, twice: with min_free (writing stops before
# the disk is full, with a message, and resumes when space returns) and
# without (a write fails on a full disk; the segment is trimmed to its last
# whole fragment). Every segment must decode afterwards. Skipped (77) where
# a tmpfs cannot be mounted or GStreamer or ffmpeg is missing.
set -uo pipefail
RECORDER="$1" SERVER_SCRIPT="$2"
source "$(dirname "$0")/recorder_common.sh"
DISK="$WORK/disk"
command -v ffmpeg >/dev/null || skip "ffmpeg is not installed"
mkdir -p "$DISK"
mount -t tmpfs -o size=4m tmpfs "$DISK" 2>/dev/null || skip "cannot mount a tmpfs here"
MOUNTED="$DISK"
start_camera cam
state_is() { curl -s "${URL}api/cameras" | grep -q "\"state\":\"$1\""; }
segments() { find "$DISK/cam" -name '*.mp4' 2>/dev/null | wc -l; }
more_segments_than() { [ "$(segments)" -gt "$1" ]; }
# run MIN_FREE: starts the recorder with that floor and waits for its second segment.
run() {
  rm -rf "$DISK/cam" "$DISK/filler"
  printf '[server]\nlisten = "127.0.0.1:0"\n[store]\nroot = "%s"\nmin_free = "%s"\n[[camera]]\nname = "cam"\nurl = "rtsp://127.0.0.1:%s/test"\nsegment_seconds = 1\n' \
    "$DISK" "$1" "$PORT_cam" >"$WORK/cams.toml"
  start_recorder "$WORK/cams.toml"
  await "two segments" more_segments_than 1
}
# fill LEAVE_KIB: a filler file leaves about that much free.
fill() {
  local free_kib
  free_kib=$(df -k --output=avail "$DISK" | tail -n 1)
  dd if=/dev/zero of="$DISK/filler" bs=1K count=$((free_kib - $1)) status=none 2>/dev/null
}

# With a floor: writing stops, says so, and resumes.
run 1M
fill 600
await "the camera shows disk-full" state_is disk-full
# The state changes just before the message is written.
await "the message for the full disk" \
  logged "camera cam: the disk holding .* is full; recording stops until space returns"
all_decode "$DISK/cam" "while the disk is full"
before=$(segments)
rm -f "$DISK/filler"
await "writing resumes" logged "camera cam: space is back; recording resumes"
await "a new segment" more_segments_than "$before"
stop_recorder "with a floor"
all_decode "$DISK/cam" "after resuming"

# Without a floor: a write fails on the full disk; nothing already written is damaged.
run 0
fill 0
await "the failed write" logged "camera cam: writing .* failed: No space left on device"
rm -f "$DISK/filler"
await "recording again" state_is recording
stop_recorder "without a floor"
all_decode "$DISK/cam" "after a failed write"
echo "rtsp-recorder disk-full test passed"
