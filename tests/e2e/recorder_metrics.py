#!/usr/bin/python3
"""recorder_metrics.py METRICS.txt CAMERAS.json DOWN UP

Parses rtsp-recorder's /metrics with prometheus_client's text parser and
checks it against /api/cameras, taken just before it, while camera DOWN is
reconnecting and camera UP records."""

import json
import sys

from prometheus_client.parser import text_string_to_metric_families

PER_CAMERA = [
    "rtsp_recorder_packets_total", "rtsp_recorder_bytes_total",
    "rtsp_recorder_packets_lost_total", "rtsp_recorder_jitter_seconds",
    "rtsp_recorder_reconnects_total", "rtsp_recorder_last_frame_age_seconds",
    "rtsp_recorder_segment_bytes_written_total",
]


def main():
    metrics_path, cameras_path, down, up = sys.argv[1:5]
    samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
               for family in text_string_to_metric_families(open(metrics_path).read())
               for s in family.samples}
    api = {c["name"]: c for c in json.load(open(cameras_path))}
    failures = []

    def check(fact, ok):
        if not ok:
            failures.append(fact)

    def value(name, camera, **labels):
        key = (name, tuple(sorted(dict(camera=camera, **labels).items())))
        return samples.get(key)

    for camera, state in ((down, "reconnecting"), (up, "recording")):
        check(f"{camera}: /api/cameras state is {state}", api[camera]["state"] == state)
        check(f"{camera}: state {state} is 1",
              value("rtsp_recorder_camera_state", camera, state=state) == 1)
        others = [n for (n, l), v in samples.items()
                  if n == "rtsp_recorder_camera_state" and ("camera", camera) in l and v == 1]
        check(f"{camera}: exactly one state is 1", len(others) == 1)
        for name in PER_CAMERA:
            check(f"{camera}: {name} present", value(name, camera) is not None)
        packets = value("rtsp_recorder_packets_total", camera) or 0
        check(f"{camera}: packets_total ({packets}) >= /api/cameras packets "
              f"({api[camera]['packets']}), taken before it", packets >= api[camera]["packets"])
        for name in ("packets_total", "bytes_total", "segment_bytes_written_total"):
            check(f"{camera}: {name} > 0", (value("rtsp_recorder_" + name, camera) or 0) > 0)
        check(f"{camera}: lost matches /api/cameras",
              value("rtsp_recorder_packets_lost_total", camera) >= api[camera]["lost"])
    check("the camera that is down has the older last frame",
          value("rtsp_recorder_last_frame_age_seconds", down) >
          value("rtsp_recorder_last_frame_age_seconds", up))
    for name in ("rtsp_recorder_disk_free_bytes", "process_cpu_seconds_total",
                 "process_resident_memory_bytes"):
        check(f"{name} > 0", (samples.get((name, ())) or 0) > 0)
    for f in failures:
        print("FAIL: /metrics: " + f, file=sys.stderr)
    print(f"/metrics: {len(samples)} samples parsed, {len(failures)} failed checks")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
