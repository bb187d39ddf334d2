#include "camera.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "diagnosis.h"
#include "log.h"
#include "options.h"
#include "retention.h"
#include "url.h"

namespace rtsp_recorder {

namespace {

using Clock = std::chrono::steady_clock;
// How often a camera's thread looks at its recording (last frame, bitrate,
// segment sizes); a stop request wakes it at once.
constexpr std::chrono::milliseconds kTick{500};
// Recordings are cut into fragments of about this long (at most three times
// it between keyframes): each camera holds one fragment in memory, and a
// crash loses at most the one being built.
constexpr double kFragmentSeconds = 0.25;
constexpr std::chrono::seconds kSpaceCheck{1};
constexpr double kConnectTimeoutSeconds = 5;

uint64_t fileSize(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Creates `path` and its parents (as mkdir -p); false with errno set.
bool makeDirectories(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string prefix = path.substr(0, at);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

const char* stateName(CameraState state) {
  switch (state) {
    case CameraState::kStarting:
      return "starting";
    case CameraState::kRecording:
      return "recording";
    case CameraState::kReconnecting:
      return "reconnecting";
    case CameraState::kDiskFull:
      return "disk-full";
    case CameraState::kStopped:
      return "stopped";
  }
  return "unknown";
}

long long freeBytes(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) return -1;
  return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

// Hands each packet to the recording and to the live view; tells the camera
// when the recording refuses the stream or cannot write. One per session.
// With audio asked for, every track's packets come through OnTrackData.
class Camera::Receiver : public IRTPReceiver, public IRTPTrackReceiver {
 public:
  explicit Receiver(Camera& camera) : camera_(camera) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    if (isFileHeader) return onHeader(sdp);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    camera_.live_.onPacket(bytes, length);
    return onProgress(camera_.recorder_->onPacket(bytes, length));
  }
  bool OnTrackData(int track, const char* data, unsigned int length, bool isRtcp) override {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    camera_.live_.onTrackPacket(track, bytes, length, isRtcp);
    return onProgress(camera_.recorder_->onTrackPacket(track, bytes, length, isRtcp));
  }

 private:
  bool onProgress(rtsp_pull::Progress progress) {
    if (progress != rtsp_pull::Progress::kFailed) return true;
    {
      std::lock_guard<std::mutex> lock(camera_.mutex_);
      camera_.writeFailed_ = true;
    }
    camera_.changed_.notify_all();
    return false;  // ends reception
  }
  bool onHeader(SDP* sdp) {
    std::string error = "the stream has no session description";
    if (sdp != nullptr && camera_.recorder_->beginStream(*sdp, error)) {
      camera_.live_.onHeader(*sdp);
      return true;
    }
    std::lock_guard<std::mutex> lock(camera_.mutex_);
    camera_.refused_ = true;
    camera_.refusal_ = error;
    return false;
  }
  Camera& camera_;
};

Camera::Camera(CameraConfig config, uint64_t minFreeBytes, std::chrono::milliseconds startDelay)
    : config_(std::move(config)),
      minFreeBytes_(minFreeBytes),
      startDelay_(startDelay),
      live_(config_.audio) {
  status_.name = config_.name;
  rtsp_pull::RtspUrl url;
  if (rtsp_pull::parseRtspUrl(config_.url, url, sessionError_)) {
    rtsp_pull::Options options;
    options.transport = config_.transport;
    options.audio = config_.audio;  // the audio track is set up only when it is recorded
    options.format = rtsp_pull::FormatChoice::kMp4;
    options.user = config_.user;
    options.passwordGiven = !config_.password.empty();
    options.password = config_.password;
    if (rtsp_pull::buildSessionOptions(options, url, "", nullptr, session_, sessionError_))
      sessionError_.clear();
    host_ = url.host;
    port_ = url.port;
    path_ = rtsp_pull::sessionPath(url, session_);
  }
  session_.diagnostics = [](const std::string&) {};
  // Five frames of a 25 fps camera per receive: with many cameras in one
  // process the wake-ups, not the bytes, are the cost (half the CPU per
  // camera at 1,000 cameras). A fast camera is read sooner: the rest
  // shortens itself to what the receive buffer holds.
  session_.interleavedRestMs = 200;
  thread_ = std::thread([this] { run(); });
}

Camera::~Camera() {
  requestStop();
  if (thread_.joinable()) thread_.join();
}

void Camera::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
  }
  changed_.notify_all();
}

CameraStatus Camera::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  CameraStatus s = status_;
  rtsp_pull::RecorderStats now = before_;
  if (recorder_) {
    const rtsp_pull::RecorderStats r = recorder_->stats();
    now.packets += r.packets;
    now.bytes += r.bytes;
    now.lost += r.lost;
    now.frames += r.frames;
    now.files += r.files;
    s.currentFile = recorder_->currentFile();
  }
  s.packets = now.packets;
  s.bytes = now.bytes;
  s.lost = now.lost;
  s.frames = now.frames;
  s.files = now.files;
  RTSPSessionStats session = sessions_;
  if (running_ != nullptr) {
    const RTSPSessionStats current = running_->stats();
    session.packets += current.packets;
    session.bytes += current.bytes;
    session.packetsLost += current.packetsLost;
    s.jitterSeconds = current.jitterSeconds;
  }
  if (session.packets > 0) {
    s.packets = session.packets;
    s.bytes = session.bytes;
    s.lost = session.packetsLost;
  }
  s.segmentBytesWritten = closedBytes_ + fileSize(s.currentFile);
  s.viewers = live_.viewers();
  return s;
}

std::string Camera::activeFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recorder_ ? recorder_->currentFile() : std::string();
}

void Camera::setState(CameraState state, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_.state = state;
  status_.reason = reason;
}

void Camera::onReceptionEnded(void* self) {
  auto* camera = static_cast<Camera*>(self);
  {
    std::lock_guard<std::mutex> lock(camera->mutex_);
    camera->ended_ = true;
  }
  camera->changed_.notify_all();
}

bool Camera::pause(Clock::duration delay) {
  const Clock::time_point until = Clock::now() + delay;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopRequested_ && Clock::now() < until) {
    changed_.wait_until(lock, std::min(until, Clock::now() + kTick));
    lock.unlock();
    tick();
    lock.lock();
  }
  return !stopRequested_;
}

bool Camera::lowOnSpace(bool resuming) const {
  const long long free = freeBytes(config_.outputDir);
  if (free < 0) return false;
  // Resuming asks for twice the floor, so that writing does not flap at it.
  return static_cast<uint64_t>(free) < (resuming ? 2 * minFreeBytes_ : minFreeBytes_);
}

bool Camera::ensureRecorder() {
  if (recorder_) return true;
  if (!makeDirectories(config_.outputDir)) {
    setState(CameraState::kReconnecting,
             "cannot create " + config_.outputDir + ": " + std::strerror(errno));
    return false;
  }
  rtsp_pull::RecorderConfig rc;
  rc.outputPattern = config_.outputDir + "/" + config_.filePattern;
  rc.format = rtsp_pull::OutputFormat::kMp4;
  rc.segmentSeconds = config_.segmentSeconds;
  rc.fragmentSeconds = kFragmentSeconds;
  rc.recordAudio = config_.audio;
  const std::string name = config_.name;
  rc.notice = [name](const std::string& text) { logLine("camera " + name + ": note: " + text); };
  rc.warning = [name](const std::string& text) { logLine("camera " + name + ": " + text); };
  std::unique_ptr<rtsp_pull::Recorder> recorder(new rtsp_pull::Recorder(std::move(rc)));
  std::string error;
  if (!recorder->open(0, 0, error)) {
    setState(CameraState::kReconnecting, error);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  recorder_ = std::move(recorder);
  lastFile_.clear();
  return true;
}

// Finishes the recorder (its segment is closed) and keeps its counts.
// Returns why it failed, if it did.
std::string Camera::retireRecorder() {
  std::unique_ptr<rtsp_pull::Recorder> recorder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recorder = std::move(recorder_);
  }
  std::string reason;
  if (!recorder) return reason;
  const std::string file = recorder->currentFile();
  recorder->finish();
  if (recorder->takeFailure(reason)) logLine("camera " + config_.name + ": " + reason);
  // A write cut short leaves a partial fragment at the end: cut it off, so
  // that the file ends where its last whole fragment does.
  if (!file.empty()) {
    bool fragments = false;
    const long long removed = trimToWholeFragments(file, &fragments);
    if (removed > 0)
      logLine("camera " + config_.name + ": cut " + std::to_string(removed) +
              " bytes of an unfinished fragment off " + file);
    // A header without a single picture is no recording.
    if (removed >= 0 && !fragments && ::unlink(file.c_str()) == 0)
      logLine("camera " + config_.name + ": removed " + file + ", which held no picture");
  }
  const rtsp_pull::RecorderStats r = recorder->stats();
  std::lock_guard<std::mutex> lock(mutex_);
  before_.packets += r.packets;
  before_.bytes += r.bytes;
  before_.lost += r.lost;
  before_.frames += r.frames;
  before_.files += r.files;
  closedBytes_ += fileSize(file);
  lastFile_.clear();
  return reason;
}

// Every kTick on the camera's thread: the last frame's time, the
// bitrate and the bytes of closed segments.
void Camera::tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!recorder_) return;
  const rtsp_pull::RecorderStats r = recorder_->stats();
  if (r.frames != framesSeen_) {
    framesSeen_ = r.frames;
    status_.lastFrame = std::chrono::system_clock::now();
  }
  const Clock::time_point now = Clock::now();
  if (rateSince_ == Clock::time_point() || r.bytes < rateBytes_) {
    rateSince_ = now;
    rateBytes_ = r.bytes;
  } else if (now - rateSince_ >= std::chrono::seconds(1)) {
    const double seconds = std::chrono::duration<double>(now - rateSince_).count();
    status_.bitsPerSecond = static_cast<double>(r.bytes - rateBytes_) * 8 / seconds;
    rateSince_ = now;
    rateBytes_ = r.bytes;
  }
  const std::string file = recorder_->currentFile();
  if (file != lastFile_) {
    closedBytes_ += fileSize(lastFile_);  // closed now: its size is final
    lastFile_ = file;
  }
}

Camera::RunEnd Camera::runSession(Clock::duration& reception, RTSPFailure& failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = writeFailed_ = refused_ = false;
  }
  CRTSPDownload session;
  session.setOptions(session_);
  const auto timeoutUs = static_cast<long long>(kConnectTimeoutSeconds * 1e6);
  session.initInfo(host_, port_, path_, 0,
                   ACE_Time_Value(static_cast<time_t>(timeoutUs / 1000000),
                                  static_cast<suseconds_t>(timeoutUs % 1000000)),
                   0);
  session.registeRTPReceiver(new Receiver(*this));
  session.setRecvTimeoutCallbackFun(&Camera::onReceptionEnded, this);
  // The tracks line up by the sender reports the session has seen; the
  // clock goes away with the session (both recorders forget it in endStream
  // below or on a failed start).
  const rtsp_pull::Recorder::WallClock wallClock = [&session](int track, uint32_t rtpTime,
                                                              uint64_t* ntp) {
    return session.wallClock(track, rtpTime, ntp);
  };
  recorder_->setWallClock(wallClock);
  live_.setWallClock(wallClock);
  if (!session.startRTSPDownload(true, true)) {
    failure = session.lastFailure();
    session.stop();
    recorder_->setWallClock(nullptr);
    live_.setWallClock(nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refused_) return RunEnd::kStartFailed;
    failure.cause = RTSP_CAUSE_RECEIVER_REFUSED;
    failure.detail = refusal_;
    return RunEnd::kRefused;
  }
  recorder_->setTracks(session.tracks());
  live_.setTracks(session.tracks());
  const Clock::time_point start = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = &session;
    if (status_.state != CameraState::kStarting) ++status_.reconnects;
    status_.state = CameraState::kRecording;
    status_.reason.clear();
  }
  logLine("camera " + config_.name + ": recording");
  RunEnd end;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopRequested_) {
      end = RunEnd::kStopped;
    } else if (refused_) {
      end = RunEnd::kRefused;
    } else if (writeFailed_) {
      end = RunEnd::kWriteFailed;
    } else if (ended_) {
      end = RunEnd::kEnded;
    } else {
      changed_.wait_for(lock, kTick);
      lock.unlock();
      tick();
      const Clock::time_point now = Clock::now();
      const bool checkSpace = now - spaceCheckedAt_ >= kSpaceCheck;
      if (checkSpace) spaceCheckedAt_ = now;
      const bool low = checkSpace && lowOnSpace(false);
      lock.lock();
      if (low) {
        end = RunEnd::kLowSpace;
        break;
      }
      continue;
    }
    break;
  }
  running_ = nullptr;
  const RTSPSessionStats ended = session.stats();
  sessions_.packets += ended.packets;
  sessions_.bytes += ended.bytes;
  sessions_.packetsLost += ended.packetsLost;
  if (end == RunEnd::kRefused) {
    failure.cause = RTSP_CAUSE_RECEIVER_REFUSED;
    failure.detail = refusal_;
  }
  lock.unlock();
  if (end != RunEnd::kRefused) failure = session.lastFailure();
  session.stop();  // joins the receive thread
  recorder_->endStream();
  recorder_->setWallClock(nullptr);
  live_.onStreamEnd();
  reception = Clock::now() - start;
  return end;
}

void Camera::run() {
  const std::string tag = "camera " + config_.name + ": ";
  rtsp_pull::RtspUrl url;
  std::string ignored;
  rtsp_pull::parseRtspUrl(config_.url, url, ignored);
  rtsp_pull::Backoff backoff;
  if (startDelay_.count() > 0) pause(startDelay_);
  while (!sessionError_.empty()) {
    setState(CameraState::kReconnecting, sessionError_);
    if (!pause(std::chrono::seconds(30))) break;
  }
  while (!stopRequested()) {
    if (lowOnSpace(true)) {
      const long long free = freeBytes(config_.outputDir);
      setState(CameraState::kDiskFull, "the disk is full (" + std::to_string(free / 1024) +
                                           " KiB free); writing resumes when space returns");
      logLine(tag + "the disk holding " + config_.outputDir +
              " is full; recording stops until space returns");
      retireRecorder();
      while (lowOnSpace(true) && pause(std::chrono::seconds(1))) {
      }
      if (stopRequested()) break;
      logLine(tag + "space is back; recording resumes");
      setState(CameraState::kStarting, "");
    }
    if (!ensureRecorder()) {
      logLine(tag + status().reason);
      if (!pause(backoff.next(Clock::duration::zero()))) break;
      continue;
    }
    Clock::duration reception{};
    RTSPFailure failure;
    const RunEnd end = runSession(reception, failure);
    if (end == RunEnd::kStopped) break;
    if (end == RunEnd::kLowSpace) continue;
    std::string why;
    if (end == RunEnd::kWriteFailed) {
      why = retireRecorder() + ".";  // a new recorder starts a new segment
    } else if (failure.step != RTSP_STEP_NONE) {
      why = rtsp_pull::explainFailure(failure, url, session_.user);
    } else {
      why = end == RunEnd::kEnded ? "the stream ended." : "the start failed.";
    }
    const std::chrono::seconds delay = backoff.next(reception);
    setState(CameraState::kReconnecting, why);
    logLine(tag + why + " Trying again in " + std::to_string(delay.count()) + " s.");
    if (!pause(delay)) break;
  }
  retireRecorder();
  live_.closeAll();
  setState(CameraState::kStopped, "");
  logLine(tag + "stopped; its last segment is closed");
  stopped_ = true;
}

}  // namespace rtsp_recorder
