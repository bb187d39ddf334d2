#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/.

The seeds are the inputs of the unit and fault tests, put into each fuzz
target's input layout (see the comment at the top of each target). Run it
again after changing a layout; it only adds or overwrites its own seed files.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- fuzz_sdp
FMTP = b"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA=="
SDP_SEEDS = {
    "full": [b"v=0", b"o=- 0 0 IN IP4 127.0.0.1", b"s=test", b"m=video 0 RTP/AVP 96",
             b"a=rtpmap:96 H264/90000", FMTP, b"a=control:trackID=1"],
    "no_tag": [b"v=0", b"a=fmtp:96 packetization-mode=1"],
    "no_comma": [b"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k"],
    "ends_with_comma": [b"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,"],
    "tag_at_end": [b"a=fmtp:96 sprop-parameter-sets"],
    "three_sets": [b"sprop-parameter-sets=QUJD,REVG,R0hJ"],
    "param_after": [b"sprop-parameter-sets=QUJD,REVG;profile-level-id=42001e"],
    "unpadded": [b"sprop-parameter-sets=QUJDRA,QUJDRA"],
    "zeros": [b"sprop-parameter-sets=QQBB,AEEA"],
    "two_tagged": [b"a=fmtp:96 sprop-parameter-sets=Z0IA", FMTP],
}
for name, lines in SDP_SEEDS.items():
    write("fuzz_sdp", name + "_crlf", b"\x01" + b"\n".join(lines))
    write("fuzz_sdp", name + "_raw", b"\x00" + b"\n".join(lines))


# -------------------------------------------------------- fuzz_rtp_reorder
def rtp(seq, ts, marker, start=None, length=64, tag=0):
    hdr = struct.pack(">BBHII", 0x80, (0x80 if marker else 0) | 96, seq & 0xFFFF, ts, 0x11223344)
    word = {None: b"\x65\x88\x84\x00", "c0": b"\xC0\x02\x40\xFF", "one": b"\x01\x00\x00\x00",
            "be": b"\x00\x00\x00\x01"}[start]
    body = bytes(((i * 7 + tag + seq) & 0xFF) for i in range(16, length))
    return (hdr + word + body)[:length]


def frame(first, ts, count, length=64, start="c0"):
    return [rtp(first + i, ts, i == count - 1, start if i == 0 else None, length)
            for i in range(count)]


def records(packets, controls=None):
    out = b""
    for i, p in enumerate(packets):
        c = controls[i] if controls else 0
        out += bytes([c]) + struct.pack(">H", len(p)) + p
    return out


f1, f2 = frame(10, 3000, 3), frame(13, 6000, 2)
write("fuzz_rtp_reorder", "in_order", records(f1 + f2))
write("fuzz_rtp_reorder", "reordered", records([f1[2], f1[0], f1[1]] + f2))
write("fuzz_rtp_reorder", "single_packet_frames",
      records([rtp(s, s * 10, True, "one") for s in range(5)]))
write("fuzz_rtp_reorder", "duplicate", records(f1[:2] + [f1[1]] + f1[2:]))
write("fuzz_rtp_reorder", "refuse_second", records(f1 + f2, [0, 0, 2, 0, 0]))
write("fuzz_rtp_reorder", "host_throws", records(f1 + f2, [0, 0, 5, 0, 0]))
write("fuzz_rtp_reorder", "file_header", records([b"\x00\x00\x01\xb0\xf5"] + f1, [8, 0, 0, 0]))
write("fuzz_rtp_reorder", "stale_front",
      records([rtp(1, 1, False)] + [p for k in range(31) for p in frame(2 + 2 * k, 100 + k, 2)]))
write("fuzz_rtp_reorder", "wrap", records(frame(65534, 9, 4)))
write("fuzz_rtp_reorder", "sizes", records([rtp(1, 1, True, "c0", n) for n in (0, 3, 11, 12, 15, 16)]
                                           + [rtp(2, 2, True, "c0", 5000), rtp(3, 3, True, "c0", 5001)]))
write("fuzz_rtp_reorder", "reinstall", records(f1[:2] + f2, [0, 0x10, 0, 0]))


# -------------------------------------------------- fuzz_h264_depacketizer
def h264(seq, ts, marker, payload, pt=96, ssrc=0x11223344, extra=b"", flags=0):
    return struct.pack(">BBHII", 0x80 | flags, (0x80 if marker else 0) | pt, seq & 0xFFFF, ts,
                       ssrc) + extra + payload


def packets(pkts):
    return b"".join(struct.pack(">H", len(p)) + p for p in pkts)


SPS, PPS = bytes.fromhex("6742001e95a8280f64"), bytes.fromhex("68ce3c80")
IDR = b"\x65" + bytes(range(200))
stap = b"\x18" + struct.pack(">H", len(SPS)) + SPS + struct.pack(">H", len(PPS)) + PPS
fu = [b"\x7c\x85" + IDR[1:70], b"\x7c\x05" + IDR[70:140], b"\x7c\x45" + IDR[140:]]
write("fuzz_h264_depacketizer", "single", packets([h264(1, 90, False, SPS), h264(2, 90, False, PPS),
                                                   h264(3, 90, True, IDR)]))
write("fuzz_h264_depacketizer", "stap_fu", packets([h264(1, 90, False, stap)] +
                                                   [h264(2 + i, 90, i == 2, p) for i, p in enumerate(fu)]))
write("fuzz_h264_depacketizer", "fu_loss", packets([h264(1, 90, False, fu[0]), h264(3, 90, True, fu[2]),
                                                    h264(4, 180, True, IDR)]))
write("fuzz_h264_depacketizer", "late", packets([h264(5, 90, True, IDR), h264(4, 90, True, IDR),
                                                 h264(5, 90, True, IDR)]))
write("fuzz_h264_depacketizer", "rtcp", packets([bytes.fromhex("80c8000611223344") + bytes(20),
                                                 h264(1, 90, True, IDR)]))
write("fuzz_h264_depacketizer", "csrc_ext_pad",
      packets([h264(1, 90, True, IDR + b"\x00\x00\x03", extra=b"\x00" * 4 + b"\xbe\xde\x00\x01" + b"\x00" * 4,
                    flags=0x31)]))
write("fuzz_h264_depacketizer", "bad_stap", packets([h264(1, 90, True, b"\x18\x00\x50" + SPS)]))


# ------------------------------------------------------------- fuzz_client
def reply(code, reason, cseq, headers=(), body=b""):
    out = b"RTSP/1.0 %d %s\r\nCSeq: %d\r\n" % (code, reason, cseq)
    for h in headers:
        out += h + b"\r\n"
    return out + b"\r\n" + body


def iframe(magic, channel, payload):
    return magic + bytes([channel]) + struct.pack(">H", len(payload)) + payload


SDP = (b"v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\nm=video 0 RTP/AVP 96\r\n"
       b"a=rtpmap:96 H264/90000\r\n"
       b"a=fmtp:96 packetization-mode=1;config=000001B0F5;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n"
       b"a=control:trackID=1\r\n")


def conversation(sdp=SDP, length=True, setup=True, after_play=b"", describe_code=200):
    headers = [b"Content-Type: application/sdp"]
    if length:
        headers.append(b"Content-Length: %d" % len(sdp))
    out = reply(200, b"OK", 1, [b"Public: DESCRIBE, SETUP, PLAY, TEARDOWN"])
    out += reply(describe_code, b"OK", 2, headers, sdp)
    if setup:
        out += reply(200, b"OK", 3, [b"Session: 4711;timeout=60"])
    out += reply(200, b"OK", 4 if setup else 3, [b"Session: 4711;timeout=60"])
    return out + after_play


STREAM = (iframe(b"$", 0, rtp(1, 90, False, "one", 200)) + iframe(b"$", 1, bytes.fromhex("80c80006") + bytes(24))
          + iframe(b"%", 0, b"drop") + iframe(b"$", 0, b"") + iframe(b"$", 0, rtp(2, 90, True, None, 1400)))
CLIENT_SEEDS = {
    "full": conversation(after_play=STREAM),
    "no_length": conversation(length=False, after_play=STREAM),
    "no_video": conversation(sdp=b"v=0\r\nm=audio 0 RTP/AVP 0\r\na=control:trackID=2\r\n", setup=False,
                             after_play=STREAM),
    "rtsp_in_stream": conversation(after_play=STREAM[:30] + reply(200, b"OK", 5)),
    "describe_404": conversation(describe_code=404),
    "long_header": conversation(sdp=b"m=video 0 RTP/AVP 96\r\na=fmtp:96 config=" + b"ab" * 300 + b"\r\n"
                                b"a=control:rtsp://127.0.0.1/x/trackID=1\r\n", after_play=STREAM),
    "lf_only_sdp": conversation(sdp=SDP.replace(b"\r\n", b"\n"), setup=False, after_play=STREAM),
    "big_frame": conversation(after_play=iframe(b"$", 0, bytes(range(256)) * 40)),
    "handshake_only": conversation(),
}
for name, data in CLIENT_SEEDS.items():
    # Both lengths: odd waits for the thread to end, even stops at once.
    write("fuzz_client", name + ("_wait" if len(data) % 2 else "_stop"), data)
    write("fuzz_client", name + ("_stop" if len(data) % 2 else "_wait"), data + b"\x00")
