// One camera of the service: its own thread runs sessions one after another
// (as `rtsp-pull --reconnect --segment` does) into one Recorder, feeds the
// live view, and keeps the figures that the page and /metrics show.
//
// Threads: the camera's thread starts and stops sessions and owns the
// Recorder's lifetime; the library's receive thread delivers packets; any
// thread reads status() and attaches viewers to live().
#ifndef RTSP_RECORDER_CAMERA_H_
#define RTSP_RECORDER_CAMERA_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <rtsppull/rtsppull.h>

#include "config.h"
#include "live.h"
#include "reconnect.h"
#include "recorder.h"

namespace rtsp_recorder {

enum class CameraState { kStarting, kRecording, kReconnecting, kDiskFull, kStopped };
const char* stateName(CameraState state);

struct CameraStatus {
  std::string name;
  CameraState state = CameraState::kStarting;
  std::string reason;  // why it is reconnecting or not writing
  std::string currentFile;
  std::chrono::system_clock::time_point lastFrame{};  // epoch: none yet
  double bitsPerSecond = 0;                           // over the last second or so
  // Since the camera started, across reconnections.
  // Packets, bytes and losses are the sessions' counts, or the recording's
  // while the library reports none.
  uint64_t packets = 0, bytes = 0, lost = 0, frames = 0, files = 0;
  uint64_t reconnects = 0;
  uint64_t segmentBytesWritten = 0;
  double jitterSeconds = 0;  // of the session running now
  size_t viewers = 0;
};

// Free bytes of the file system holding `path`; -1 when unknown.
long long freeBytes(const std::string& path);

class Camera {
 public:
  // Starts the camera's thread, which connects after `startDelay` (so that
  // a large store does not open every connection in the same instant).
  // `minFreeBytes`: writing stops below it.
  Camera(CameraConfig config, uint64_t minFreeBytes,
         std::chrono::milliseconds startDelay = std::chrono::milliseconds(0));
  ~Camera();  // stops, closes the last segment, joins
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Asks the thread to stop; stopped() turns true once the last segment is
  // closed.
  void requestStop();
  bool stopped() const { return stopped_.load(); }

  const CameraConfig& config() const { return config_; }
  CameraStatus status() const;
  // The file being written, which retention leaves alone.
  std::string activeFile() const;
  LiveFeed& live() { return live_; }

 private:
  class Receiver;
  enum class RunEnd { kStartFailed, kStopped, kEnded, kWriteFailed, kRefused, kLowSpace };

  void run();
  RunEnd runSession(std::chrono::steady_clock::duration& reception, RTSPFailure& failure);
  bool ensureRecorder();
  std::string retireRecorder();
  void tick();
  bool lowOnSpace(bool resuming) const;
  // Waits `delay`, or until a stop request; false when stopping.
  bool pause(std::chrono::steady_clock::duration delay);
  void setState(CameraState state, const std::string& reason);
  bool stopRequested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopRequested_;
  }
  static void onReceptionEnded(void* self);

  const CameraConfig config_;
  const uint64_t minFreeBytes_;
  const std::chrono::milliseconds startDelay_;
  std::string host_;
  unsigned port_ = 554;
  std::string path_;
  RTSPSessionOptions session_;
  std::string sessionError_;

  LiveFeed live_;
  std::atomic<bool> stopped_{false};

  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  bool stopRequested_ = false;
  bool ended_ = false, writeFailed_ = false, refused_ = false;
  std::string refusal_;
  std::unique_ptr<rtsp_pull::Recorder> recorder_;
  CRTSPDownload* running_ = nullptr;  // the session while it receives
  CameraStatus status_;
  rtsp_pull::RecorderStats before_;  // of recorders already finished
  RTSPSessionStats sessions_;        // packets, bytes and losses of sessions already ended
  std::string lastFile_;
  uint64_t closedBytes_ = 0;
  std::chrono::steady_clock::time_point rateSince_;
  uint64_t rateBytes_ = 0;
  uint64_t framesSeen_ = 0;
  std::chrono::steady_clock::time_point spaceCheckedAt_;

  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_CAMERA_H_
