#!/usr/bin/python3
"""Records the benchmark stream: an H.264 encode of a moving test pattern,
packetized as RTP (FU-A at about 1400 bytes), written as a file that
loopback_server replays.

File format: one text line
    rtpstream clock=90000 pt=96 ts-step=<ticks> frames=<n> packets=<n> \
        sprop-parameter-sets=<base64,base64> profile-level-id=<hex>\n
then every RTP packet as a 2-byte big-endian length followed by the packet.
ts-step is what the timestamps advance by from one pass of the recording to
the next, so that a looped replay keeps a steady clock.

Needs GStreamer's Python bindings: run with /usr/bin/python3.
"""
import argparse
import struct
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--fps", type=int, default=30)
    ap.add_argument("--width", type=int, default=1280)
    ap.add_argument("--height", type=int, default=720)
    ap.add_argument("--kbps", type=int, default=20000)
    ap.add_argument("--mtu", type=int, default=1400)
    args = ap.parse_args()

    Gst.init(None)
    frames = args.seconds * args.fps
    # A zone plate whose phase moves every frame: detail everywhere and motion
    # in every frame, so the encoder really spends the bitrate it is given.
    pipeline = Gst.parse_launch(
        f"videotestsrc num-buffers={frames} pattern=zone-plate kx2=20 ky2=20 kt=1 "
        f"! video/x-raw,format=I420,width={args.width},height={args.height},"
        f"framerate={args.fps}/1 "
        f"! x264enc bitrate={args.kbps} speed-preset=veryfast tune=zerolatency "
        f"key-int-max={2 * args.fps} "
        f"! rtph264pay mtu={args.mtu} pt=96 config-interval=-1 "
        "! appsink name=sink sync=false")
    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)

    packets = []
    caps = None
    while True:
        sample = sink.emit("try-pull-sample", 30 * Gst.SECOND)
        if sample is None:
            break
        if caps is None:
            caps = sample.get_caps().get_structure(0)
        buf = sample.get_buffer()
        ok, info = buf.map(Gst.MapFlags.READ)
        if not ok:
            sys.exit("cannot map a buffer")
        packets.append(bytes(info.data))
        buf.unmap(info)
    pipeline.set_state(Gst.State.NULL)
    if not packets or caps is None:
        sys.exit("the encoder produced nothing")

    first_ts = struct.unpack_from("!I", packets[0], 4)[0]
    last_ts = struct.unpack_from("!I", packets[-1], 4)[0]
    tick = 90000 // args.fps
    ts_step = (last_ts - first_ts + tick) & 0xFFFFFFFF
    marked = sum(1 for p in packets if p[1] & 0x80)
    header = (
        f"rtpstream clock=90000 pt=96 ts-step={ts_step} frames={marked} "
        f"packets={len(packets)} "
        f"sprop-parameter-sets={caps.get_string('sprop-parameter-sets')} "
        f"profile-level-id={caps.get_string('profile-level-id')}\n")
    with open(args.output, "wb") as out:
        out.write(header.encode("ascii"))
        for p in packets:
            out.write(struct.pack("!H", len(p)))
            out.write(p)
    total = sum(len(p) for p in packets)
    print(f"{args.output}: {len(packets)} packets, {marked} frames, "
          f"{total * 8 / args.seconds / 1e6:.1f} Mbit/s, "
          f"largest packet {max(len(p) for p in packets)} bytes")


if __name__ == "__main__":
    main()
