// The service's state as text for its readers: JSON for the page and
// Prometheus' text format for /metrics. Pure: the figures come in.
#ifndef RTSP_RECORDER_REPORT_H_
#define RTSP_RECORDER_REPORT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "camera.h"
#include "retention.h"

namespace rtsp_recorder {

struct ProcessFigures {
  double cpuSeconds = 0;  // user + system
  uint64_t residentBytes = 0;
  uint64_t privateBytes = 0;  // private clean + dirty pages
};
// This process's figures, from /proc/self.
ProcessFigures processFigures();

std::string jsonString(const std::string& text);

// [{"name":..., "state":..., ...}, ...] (see the page for the fields).
std::string camerasJson(const std::vector<CameraStatus>& cameras,
                        std::chrono::system_clock::time_point now);

// {"days":[{"day":"2026-12-06","files":[{"name":...,"bytes":...,"time":...,"active":...}]}]}:
// the newest day first, each day's files newest first; days in local time.
std::string recordingsJson(const std::vector<SegmentFile>& files);

std::string metricsText(const std::vector<CameraStatus>& cameras, long long diskFreeBytes,
                        const ProcessFigures& process, std::chrono::system_clock::time_point now);

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_REPORT_H_
