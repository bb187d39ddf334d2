#include "recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <utility>
#include <vector>

#include "h264_depacketizer.h"
#include "h265_depacketizer.h"

namespace rtsp_pull {

namespace {

// Bound on one access unit; larger ones are dropped.
constexpr size_t kMaxAccessUnitBytes = 64u << 20;

const char* codecName(VideoCodec codec) { return codec == VideoCodec::kH264 ? "H.264" : "H.265"; }

// The value of the first "a=NAME:" attribute of the first video description
// (without "a=NAME:" and the line end); empty when there is none.
std::string videoAttribute(const SDP& sdp, const std::string& name) {
  const std::string prefix = "a=" + name + ":";
  bool inVideo = false;
  for (const std::string& raw : sdp.lines) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.compare(0, 2, "m=") == 0) {
      if (inVideo) break;
      inVideo = line.compare(0, 8, "m=video ") == 0;
      continue;
    }
    if (inVideo && line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
  }
  return std::string();
}

// The clock rate of "96 H264/90000"; 90000 (the video clock) when absent.
uint32_t clockRate(const std::string& rtpmap) {
  const size_t slash = rtpmap.find('/');
  if (slash == std::string::npos) return 90000;
  const unsigned long rate = std::strtoul(rtpmap.c_str() + slash + 1, nullptr, 10);
  return rate > 0 && rate <= 10000000 ? static_cast<uint32_t>(rate) : 90000;
}

// The payload types of the first "m=video" line; empty when it names none.
std::vector<uint8_t> videoPayloadTypes(const SDP& sdp) {
  std::vector<uint8_t> types;
  for (const std::string& line : sdp.lines) {
    if (line.compare(0, 8, "m=video ") != 0) continue;
    std::istringstream words(line.substr(8));
    std::string word;
    words >> word >> word;  // the port and the profile
    while (words >> word) {
      char* end = nullptr;
      const unsigned long type = std::strtoul(word.c_str(), &end, 10);
      if (*end == '\0' && type < 128) types.push_back(static_cast<uint8_t>(type));
    }
    break;
  }
  return types;
}

// The description with the blanks inside its a=fmtp parameters removed
// ("sprop-parameter-sets= Z0I..., aM4..."), which no H.264 or H.265
// parameter needs.
SDP withoutFmtpBlanks(const SDP& sdp) {
  SDP copy = sdp;
  for (std::string& line : copy.lines) {
    if (line.compare(0, 7, "a=fmtp:") != 0) continue;
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    line.erase(
        std::remove_if(line.begin() + static_cast<std::ptrdiff_t>(space) + 1, line.end(), blank),
        line.end());
  }
  return copy;
}

// Puts the NAL units of an announced parameter set where their types say.
// Cameras write a start code in front, two sets in one, or zero bytes after.
void takeAnnounced(VideoCodec codec, const std::string& announced, std::string* sets) {
  const std::string startCode("\0\0\1", 3);
  for (size_t at = 0; at <= announced.size();) {
    size_t end = announced.find(startCode, at);
    if (end == std::string::npos) end = announced.size();
    std::string nal = announced.substr(at, end - at);
    while (!nal.empty() && nal.back() == '\0') nal.pop_back();
    const int kind =
        nal.empty()
            ? -1
            : parameterSetKind(codec, nalType(codec, reinterpret_cast<const uint8_t*>(nal.data())));
    if (kind >= 0) sets[kind] = nal;
    at = end + startCode.size();
  }
}

bool writeAll(int fd, const char* data, size_t size, int& error) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writes the pieces in order, in one system call when the kernel takes them
// whole, so that a fragment reaches the file whole short of a failure.
bool writeAll(int fd, std::vector<iovec>& parts, int& error) {
  iovec* next = parts.data();
  size_t left = parts.size();
  while (left > 0) {
    if (next->iov_len == 0) {
      ++next;
      --left;
      continue;
    }
    const ssize_t n = ::writev(fd, next, static_cast<int>(std::min<size_t>(left, IOV_MAX)));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    // A partial write: go on from where the kernel stopped.
    auto done = static_cast<size_t>(n);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

// True when the pattern holds a strftime conversion ("%%" is none).
bool hasTimeField(const std::string& pattern) {
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    if (pattern[i + 1] != '%') return true;
    ++i;
  }
  return false;
}

// Inserts `tag` before the extension of the last path component.
std::string beforeExtension(const std::string& path, const std::string& tag) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool hasExtension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return hasExtension ? path.substr(0, dot) + tag + path.substr(dot) : path + tag;
}

// `pattern` with its strftime fields filled in with the local time of `when`.
std::string localTimeName(const std::string& pattern, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  std::vector<char> name(pattern.size() * 4 + 256);
  const size_t n = std::strftime(name.data(), name.size(), pattern.c_str(), &local);
  return n > 0 ? std::string(name.data(), n) : pattern;
}

// NTP seconds (since 1900) to Unix seconds (since 1970).
constexpr double kNtpToUnix = 2208988800.0;

// Bound on what is held while waiting for the tracks' sync.
constexpr size_t kMaxHeldBytes = 64u << 20;
// Bound on the audio placed ahead of the pictures (a stalled video).
constexpr size_t kMaxPlacedFrames = 3000;

std::string joinLines(const SDP& sdp) {
  std::string text;
  for (const std::string& line : sdp.lines) text += line;
  return text;
}

}  // namespace

uint64_t Timeline::place(uint32_t timestamp) {
  if (!started_ || resuming_) {
    position_ = started_ ? resumeAt_ : 0;
    started_ = true;
    resuming_ = false;
  } else {
    const auto step = static_cast<int32_t>(timestamp - last_);
    if (step > 0 && static_cast<uint64_t>(step) <= maxStep_) {
      lastStep_ = static_cast<uint32_t>(step);
      position_ += lastStep_;
    } else {
      position_ += lastStep_ > 0 ? lastStep_ : 1;
    }
  }
  last_ = timestamp;
  return position_;
}

void Timeline::resume(uint64_t gapTicks) {
  if (!started_) return;
  resuming_ = true;
  resumeAt_ = position_ + (lastStep_ > 0 ? lastStep_ : 1) + gapTicks;
}

Recorder::Recorder(RecorderConfig config) : config_(std::move(config)), timeline_(90000) {}

Recorder::~Recorder() { closeFile(); }

bool Recorder::haveParameterSets() const {
  return !sets_[kSps].empty() && !sets_[kPps].empty() &&
         (codec_ == VideoCodec::kH264 || !sets_[kVps].empty());
}

bool Recorder::open(uint32_t address, uint16_t port, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Said before connecting rather than after the handshake.
  struct stat status {};
  const std::string& output = config_.outputPattern;
  if (!config_.overwrite && !segmenting() && writing() && !toStandardOutput() &&
      ::stat(output.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    error = output + ": the file exists (--overwrite replaces it)";
    return false;
  }
  return config_.rtpdumpPath.empty() ||
         rtpdump_.open(config_.rtpdumpPath, address, port, config_.overwrite, error);
}

bool Recorder::beginStream(SDP& sdp, std::string& error) {
  const std::vector<SDPMedia> media = config_.recordAudio
                                          ? SDPMedia::parseAll(joinLines(sdp), std::string())
                                          : std::vector<SDPMedia>();
  return beginStream(sdp, media, error);
}

bool Recorder::beginStream(SDP& sdp, const std::vector<SDPMedia>& media, std::string& error) {
  std::vector<std::string> notices;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (firstStart_ == Clock::time_point()) firstStart_ = Clock::now();
    ok = begin(sdp, media, error, notices);
  }
  if (config_.notice) {
    for (const std::string& line : notices) config_.notice(line);
  }
  return ok;
}

void Recorder::setTracks(const std::vector<RTSPTrack>& tracks) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tracks.empty() || !audioThisSession_) return;
  for (const RTSPTrack& track : tracks) {
    if (track.media.media != "audio") continue;
    audioTrack_ = track.index;
    return;
  }
  // The server refused the audio track: nothing to wait for. What is held
  // goes out with the next picture, on the receive thread.
  audioThisSession_ = false;
  audioDepacketizer_.reset();
  if (!streamStarted_ && frames_ == 0) audioInFiles_ = false;  // no file has the track yet
}

void Recorder::setWallClock(WallClock wallClock) {
  std::lock_guard<std::mutex> lock(mutex_);
  wallClock_ = std::move(wallClock);
}

Progress Recorder::progress() const {
  if (!failure_.empty()) return Progress::kFailed;
  return limitReached() ? Progress::kLimitReached : Progress::kRecording;
}

Progress Recorder::onTrackPacket(int track, const uint8_t* data, size_t size, bool rtcp) {
  if (track == 0) return rtcp ? Progress::kRecording : onPacket(data, size);
  std::lock_guard<std::mutex> lock(mutex_);
  if (rtcp || ended_ || finished_ || track != audioTrack_ || !audioDepacketizer_) return progress();
  ++packets_;
  bytes_ += size;
  if (failure_.empty() && !limitReached()) audioDepacketizer_->push(data, size);
  return progress();
}

Progress Recorder::onPacket(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (isRtcp(data, size) || ended_ || finished_) return Progress::kRecording;
  if (rtpdump_.isOpen() && rtpdumpFailure_.empty() && !rtpdump_.write(data, size, false)) {
    rtpdumpFailure_ = "writing " + config_.rtpdumpPath + " failed: " + std::strerror(errno);
    if (config_.warning) config_.warning(rtpdumpFailure_);
  }
  if (depacketizer_) {
    ++packets_;
    bytes_ += size;
    bool announced = payloadTypes_.empty() || size < 2 ||
                     std::find(payloadTypes_.begin(), payloadTypes_.end(), data[1] & 0x7F) !=
                         payloadTypes_.end();
    // A camera whose description names another type than it sends: the type
    // of the first packet is the video's.
    if (!announced && !announcedSeen_) {
      payloadTypes_.push_back(data[1] & 0x7F);
      announced = true;
    }
    if (announced) announcedSeen_ = true;
    if (!announced) {
      ++unannounced_;
    } else if (failure_.empty() && !limitReached()) {
      depacketizer_->push(data, size);
    }
  }
  return progress();
}

void Recorder::endStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  end();
}

bool Recorder::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!finished_) {
    end();
    closeFile();
    if (!rtpdump_.close() && rtpdumpFailure_.empty()) {
      rtpdumpFailure_ = "writing " + config_.rtpdumpPath + " failed";
      if (config_.warning) config_.warning(rtpdumpFailure_);
    }
    finished_ = true;
  }
  return failure_.empty() && rtpdumpFailure_.empty();
}

RecorderStats Recorder::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  RecorderStats s;
  if (firstStart_ != Clock::time_point())
    s.elapsed = std::chrono::duration<double>(Clock::now() - firstStart_).count();
  s.packets = packets_;
  s.bytes = bytes_;
  s.files = files_;
  s.frames = frames_;
  s.lost = lostBefore_ + (depacketizer_ ? depacketizer_->counters().lost : 0) +
           (audioDepacketizer_ ? audioDepacketizer_->counters().lost : 0);
  s.unannounced = unannounced_;
  s.restarts = restartsBefore_ + (depacketizer_ ? depacketizer_->counters().restarts : 0);
  s.keyframes = keyframes_;
  return s;
}

std::string Recorder::whyNoFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string packets = std::to_string(packets_) + (packets_ == 1 ? " packet" : " packets");
  if (!begun_) return "the stream did not start";
  if (packets_ == 0) return "no RTP packet arrived";
  if (keyframeWithoutSets_)
    return std::string("keyframes came, but no ") + codecName(codec_) +
           " parameter sets (neither in the session description nor in the stream), in " + packets;
  if (keyframes_ == 0) return "no keyframe came in " + packets;
  return "no picture could be recorded from " + packets;
}

std::string Recorder::currentFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0 ? fileName_ : std::string();
}

bool Recorder::takeFailure(std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_.empty() || failureTaken_) return false;
  failureTaken_ = true;
  reason = failure_;
  return true;
}

void Recorder::onNal(const uint8_t* nal, size_t size) {
  // A unit that never ends (no marker, no new timestamp) must not take all
  // memory: past the bound it is dropped whole.
  unitBytes_ += size;
  if (unitBytes_ > kMaxAccessUnitBytes) {
    unit_.nals.clear();
    return;
  }
  unit_.nals.emplace_back(reinterpret_cast<const char*>(nal), size);
}

void Recorder::onAccessUnitInfo(uint32_t timestamp, bool keyframe) {
  unit_.timestamp = timestamp;
  unit_.keyframe = keyframe;
}

void Recorder::onRestart() {
  // A new timeline: the next unit lands one picture after the last, and the
  // output goes on at a keyframe, as after a reconnection.
  timeline_.resume(0);
  streamStarted_ = false;
  resendSets_ = true;
}

void Recorder::onAccessUnitEnd() {
  if (unitBytes_ <= kMaxAccessUnitBytes && !unit_.nals.empty()) {
    if (sync_ == Sync::kWaiting) {
      const Clock::time_point now = Clock::now();
      if (heldUnits_.empty() && heldFrames_.empty()) waitStart_ = now;
      heldBytes_ += unitBytes_;
      heldUnits_.push_back(HeldUnit{std::move(unit_), now});
      trySync(now);
    } else {
      handleAccessUnit(unit_, Clock::now());
    }
  }
  unit_.nals.clear();
  unitBytes_ = 0;
}

void Recorder::onAudioFrame(uint32_t timestamp, uint32_t duration, const uint8_t* data,
                            size_t size) {
  const Clock::time_point now = Clock::now();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (sync_ == Sync::kWaiting) {
    if (heldUnits_.empty() && heldFrames_.empty()) waitStart_ = now;
    heldBytes_ += size;
    heldFrames_.push_back(HeldFrame{timestamp, duration, now, std::move(bytes)});
    trySync(now);
    return;
  }
  placeAudio(timestamp, duration, now, std::move(bytes));
}

int64_t Recorder::extend(uint32_t timestamp) {
  if (!audioExtStarted_) {
    audioExtStarted_ = true;
    audioExt_ = timestamp;
  } else {
    audioExt_ += static_cast<int32_t>(timestamp - lastAudioTs_);
  }
  lastAudioTs_ = timestamp;
  return audioExt_;
}

namespace {
// How long pictures wait for the first audio frame before they go on alone.
const std::chrono::seconds kSilentAudioWait(1);
}  // namespace

void Recorder::trySync(Clock::time_point now) {
  if (sync_ != Sync::kWaiting) return;
  uint64_t videoNtp = 0, audioNtp = 0;
  if (!audioThisSession_) {
    sync_ = Sync::kVideoOnly;
  } else if (!heldUnits_.empty() && !heldFrames_.empty() &&
             wallClock(0, heldUnits_.front().unit.timestamp, videoNtp) &&
             wallClock(audioTrack_, heldFrames_.front().timestamp, audioNtp)) {
    // The audio RTP time at the instant of the first held picture.
    const double seconds =
        (static_cast<double>(videoNtp) - static_cast<double>(audioNtp)) / 4294967296.0;
    pendingAnchorTs_ = heldUnits_.front().unit.timestamp;
    pendingAnchorAudio_ = extend(heldFrames_.front().timestamp) +
                          static_cast<int64_t>(seconds * audioFormat_.clockRate);
    anchorPending_ = true;
    sync_ = Sync::kWallClock;
  } else if (now - waitStart_ >= std::chrono::duration<double>(config_.syncWaitSeconds) ||
             heldBytes_ > kMaxHeldBytes ||
             (heldFrames_.empty() && now - waitStart_ >= kSilentAudioWait)) {
    // A camera may announce audio and never send it: the pictures do not
    // wait for it long, and audio that comes later is placed by its arrival.
    sync_ = Sync::kArrival;
    if (!heldUnits_.empty() && !heldFrames_.empty()) {
      const HeldUnit& video = heldUnits_.front();
      const HeldFrame& audio = heldFrames_.front();
      const double seconds = std::chrono::duration<double>(video.arrival - audio.arrival).count();
      pendingAnchorTs_ = video.unit.timestamp;
      pendingAnchorAudio_ =
          extend(audio.timestamp) + static_cast<int64_t>(seconds * audioFormat_.clockRate);
      anchorPending_ = true;
    }
  } else {
    return;
  }
  replay();
}

// Everything held goes on in the order it came: the pictures are written,
// the frames placed between them.
void Recorder::replay() {
  std::deque<HeldUnit> units;
  std::deque<HeldFrame> frames;
  units.swap(heldUnits_);
  frames.swap(heldFrames_);
  heldBytes_ = 0;
  while (!units.empty() || !frames.empty()) {
    if (!frames.empty() && (units.empty() || frames.front().arrival < units.front().arrival)) {
      HeldFrame& f = frames.front();
      placeAudio(f.timestamp, f.duration, f.arrival, std::move(f.bytes));
      frames.pop_front();
    } else {
      handleAccessUnit(units.front().unit, units.front().arrival);
      units.pop_front();
    }
  }
}

void Recorder::anchorAudio(uint32_t timestamp, Clock::time_point arrival) {
  // A session whose audio came only after the wait: by the last picture.
  uint64_t videoNtp = 0, audioNtp = 0;
  double seconds;
  if (wallClock(0, lastVideoTs_, videoNtp) && wallClock(audioTrack_, timestamp, audioNtp)) {
    seconds = (static_cast<double>(videoNtp) - static_cast<double>(audioNtp)) / 4294967296.0;
  } else {
    seconds = std::chrono::duration<double>(lastVideoArrival_ - arrival).count();
  }
  anchorVideo_ = lastVideoPosition_;
  anchorAudio_ = extend(timestamp) + static_cast<int64_t>(seconds * audioFormat_.clockRate);
  anchored_ = true;
}

void Recorder::placeAudio(uint32_t timestamp, uint32_t duration, Clock::time_point arrival,
                          std::string bytes) {
  if (!audioThisSession_) return;
  if (!anchored_) {
    if (anchorPending_ || !videoPlaced_) {
      // Until the anchor's picture is placed.
      if (heldFrames_.size() < kMaxPlacedFrames)
        heldFrames_.push_back(HeldFrame{timestamp, duration, arrival, std::move(bytes)});
      return;
    }
    anchorAudio(timestamp, arrival);
  }
  const int64_t position =
      static_cast<int64_t>(anchorVideo_ * audioFormat_.clockRate / clockRate_) +
      (extend(timestamp) - anchorAudio_);
  if (placed_.size() >= kMaxPlacedFrames) placed_.pop_front();
  placed_.push_back(PlacedFrame{position, duration, std::move(bytes)});
}

// Writes the placed audio up to the picture at `videoPosition`; audio before
// the first picture of the file is dropped. G.711, which can be cut at any
// sample, is cut there, so that a file's audio starts and ends with its
// pictures however long the packets are.
void Recorder::releaseAudio(uint64_t videoPosition) {
  const auto limit = static_cast<int64_t>(videoPosition * audioFormat_.clockRate / clockRate_);
  const auto start = static_cast<int64_t>(segmentStart_ * audioFormat_.clockRate / clockRate_);
  const bool samples =
      audioFormat_.codec == AudioCodec::kPcmu || audioFormat_.codec == AudioCodec::kPcma;
  while (!placed_.empty() && placed_.front().position < limit) {
    PlacedFrame& f = placed_.front();
    size_t bytes = f.bytes.size();
    if (samples && f.position < start && f.position + f.duration > start) {
      // Its samples before the file's first picture go.
      const auto early = static_cast<size_t>(start - f.position);
      f.bytes.erase(0, early * audioFormat_.channels);
      f.duration -= static_cast<uint32_t>(early);
      f.position = start;
      continue;
    }
    const int64_t past = f.position + f.duration - limit;
    if (samples && past > 0)
      bytes = static_cast<size_t>(limit - f.position) * audioFormat_.channels;
    if (mp4_ && outputStarted_ && !limitReached() && f.position >= start)
      mp4_->addAudioSample(
          static_cast<uint64_t>(f.position - start),
          samples ? static_cast<uint32_t>(bytes / audioFormat_.channels) : f.duration,
          reinterpret_cast<const uint8_t*>(f.bytes.data()), bytes);
    if (bytes == f.bytes.size()) {
      placed_.pop_front();
      continue;
    }
    // The rest waits for the next picture.
    f.bytes.erase(0, bytes);
    f.position = limit;
    f.duration = static_cast<uint32_t>(past);
    break;
  }
}

bool Recorder::cameraSeconds(uint32_t timestamp, double& seconds) const {
  uint64_t ntp = 0;
  if (!config_.cameraClock || !wallClock(0, timestamp, ntp)) return false;
  seconds = static_cast<double>(ntp) / 4294967296.0 - kNtpToUnix;
  return seconds > 0;
}

bool Recorder::begin(SDP& sdp, const std::vector<SDPMedia>& media, std::string& error,
                     std::vector<std::string>& notices) {
  if (!failure_.empty() || finished_) {
    error = finished_ ? "the recording is finished" : failure_;
    return false;
  }
  const std::string name = sdp.video_codec();
  VideoCodec codec;
  if (name == "H264" || name.empty()) {
    codec = VideoCodec::kH264;
  } else if (name == "H265") {
    codec = VideoCodec::kH265;
  } else {
    error = "the stream's video is " + name + "; only H.264 and H.265 can be recorded";
    return false;
  }
  const uint32_t rate = clockRate(videoAttribute(sdp, "rtpmap"));
  if (begun_ && (codec != codec_ || rate != clockRate_)) {
    error = std::string("the stream changed from ") + codecName(codec_) + " to " +
            codecName(codec) + " or changed its clock; it cannot go on in the same recording";
    return false;
  }
  if (codec == VideoCodec::kH265) {
    std::string fmtp = videoAttribute(sdp, "fmtp");
    fmtp = fmtp.substr(std::min(fmtp.size(), fmtp.find(' ') + 1));
    if (!H265Depacketizer::supportsFormat(fmtp, error)) return false;
  }

  // Parameter sets announced now are the latest ones.
  bool announced = false;
  SDP tidy = withoutFmtpBlanks(sdp);
  std::string found[kParameterSetKinds];
  if (codec == VideoCodec::kH264) {
    std::string sps, pps;
    if (tidy.fetch_sps_pps(sps, pps) == 0 && !sps.empty() && !pps.empty()) {
      // The PPS as decoded runs to the end of its line; keep its own bytes.
      for (const std::string& line : tidy.lines) {
        const size_t size = announcedPpsSize(line);
        if (size == std::string::npos) continue;
        if (size < pps.size()) pps.resize(size);
        break;
      }
      takeAnnounced(codec, sps, found);
      takeAnnounced(codec, pps, found);
    }
  } else {
    std::string vps, sps, pps;
    if (tidy.fetch_vps_sps_pps(vps, sps, pps) == 0) {
      for (const std::string* set : {&vps, &sps, &pps}) takeAnnounced(codec, *set, found);
    }
  }
  if (!found[kSps].empty() && !found[kPps].empty() &&
      (codec == VideoCodec::kH264 || !found[kVps].empty())) {
    for (int kind = 0; kind < kParameterSetKinds; ++kind) sets_[kind] = found[kind];
    announced = true;
  }
  payloadTypes_ = videoPayloadTypes(sdp);
  announcedSeen_ = false;

  if (!begun_) {
    codec_ = codec;
    clockRate_ = rate;
    timeline_ = Timeline(rate);
    // Names from the camera's clock wait for its time, at the first unit.
    deferredOpen_ = config_.cameraClock && hasTimeField(config_.outputPattern) &&
                    !toStandardOutput() && writing();
    if (writing() && !deferredOpen_ && !openFile(error)) return false;
    if (name.empty())
      notices.push_back("the session description names no video codec; taking H.264");
    if (!announced)
      notices.push_back(std::string("no ") + codecName(codec) +
                        " parameter sets in the session description; relying on those inside the "
                        "stream");
    begun_ = true;
  } else {
    // A reconnection: the timeline goes on by the time reception was away,
    // and the output starts again at a keyframe with parameter sets.
    if (!ended_) end();
    const double gap = std::chrono::duration<double>(Clock::now() - endedAt_).count();
    timeline_.resume(static_cast<uint64_t>(gap * clockRate_));
    if (depacketizer_) {
      lostBefore_ += depacketizer_->counters().lost;
      restartsBefore_ += depacketizer_->counters().restarts;
    }
    resendSets_ = true;
  }
  ended_ = false;
  streamStarted_ = false;
  if (codec_ == VideoCodec::kH264) {
    depacketizer_.reset(new H264Depacketizer(*this));
  } else {
    depacketizer_.reset(new H265Depacketizer(*this));
  }
  unit_.nals.clear();
  unitBytes_ = 0;
  beginAudio(media, notices);
  return true;
}

void Recorder::beginAudio(const std::vector<SDPMedia>& media, std::vector<std::string>& notices) {
  audioThisSession_ = false;
  audioDepacketizer_.reset();
  heldUnits_.clear();
  heldFrames_.clear();
  placed_.clear();
  heldBytes_ = 0;
  anchored_ = anchorPending_ = audioExtStarted_ = videoPlaced_ = false;
  audioTrack_ = 1;
  sync_ = Sync::kVideoOnly;
  if (!config_.recordAudio || config_.format != OutputFormat::kMp4) return;
  const auto audio = std::find_if(media.begin(), media.end(),
                                  [](const SDPMedia& m) { return m.media == "audio"; });
  if (audio == media.end()) return;
  AudioFormat format;
  std::string detail;
  if (readAudioFormat(*audio, format, detail) != AudioError::kNone) {
    notices.push_back(detail + "; recording the video only");
    return;
  }
  const bool same =
      format.codec == audioFormat_.codec && format.clockRate == audioFormat_.clockRate &&
      format.channels == audioFormat_.channels && format.config == audioFormat_.config;
  if (outputOpen_ && outputStarted_ && !audioInFiles_) return;  // the file has no audio track
  if (audioInFiles_ && !same) {
    notices.push_back("the stream's audio changed; recording the video only from here on");
    return;
  }
  audioFormat_ = format;
  audioInFiles_ = true;
  audioThisSession_ = true;
  audioDepacketizer_.reset(new AudioDepacketizer(audioFormat_, *this));
  sync_ = Sync::kWaiting;
}

void Recorder::handleAccessUnit(AccessUnit& unit, Clock::time_point arrival) {
  if (!failure_.empty() || limitReached() || unit.nals.empty()) return;
  bool picture = false;
  for (const std::string& nal : unit.nals) {
    if (nal.empty()) continue;
    const uint8_t type = nalType(codec_, reinterpret_cast<const uint8_t*>(nal.data()));
    const int kind = parameterSetKind(codec_, type);
    if (kind >= 0) sets_[kind] = nal;
    if (isPicture(codec_, type)) picture = true;
  }
  const bool mp4 = config_.format == OutputFormat::kMp4;
  if (!picture && mp4) return;  // an MP4 sample is a picture
  if (unit.keyframe) ++keyframes_;
  const uint64_t position = timeline_.place(unit.timestamp);
  if (audioThisSession_) {
    // Where the picture ends: as long as the one before it lasted.
    videoEnd_ = videoPlaced_ && position > lastVideoPosition_ ? 2 * position - lastVideoPosition_
                                                              : position + clockRate_ / 30;
    videoPlaced_ = true;
    lastVideoTs_ = unit.timestamp;
    lastVideoPosition_ = position;
    lastVideoArrival_ = arrival;
    if (anchorPending_ && unit.timestamp == pendingAnchorTs_) {
      anchorVideo_ = position;
      anchorAudio_ = pendingAnchorAudio_;
      anchored_ = true;
      anchorPending_ = false;
    }
    // Frames that waited for a picture to be placed against.
    if (!anchorPending_ && !heldFrames_.empty()) {
      std::deque<HeldFrame> frames;
      frames.swap(heldFrames_);
      for (HeldFrame& f : frames)
        placeAudio(f.timestamp, f.duration, f.arrival, std::move(f.bytes));
    }
    releaseAudio(position);
  }

  if (!streamStarted_) {
    // Start where a decoder can: at a keyframe, once its parameter sets are
    // known (MP4 needs them for its header before any unit).
    if (config_.waitForKeyframe && !unit.keyframe) return;
    if ((unit.keyframe || mp4) && !haveParameterSets()) {
      if (unit.keyframe) keyframeWithoutSets_ = true;
      return;
    }
    streamStarted_ = true;
  }
  double camera = 0;
  const bool cameraKnown = cameraSeconds(unit.timestamp, camera);
  if (segmenting() && outputStarted_ && unit.keyframe) {
    // The camera's clock cuts at multiples of the segment length; the local
    // rule measures the length on the timeline.
    const bool cut =
        cameraKnown && segmentCameraStart_ >= 0
            ? std::floor(camera / config_.segmentSeconds) >
                  std::floor(segmentCameraStart_ / config_.segmentSeconds)
            : position - segmentStart_ >=
                  static_cast<uint64_t>(config_.segmentSeconds * static_cast<double>(clockRate_));
    if (cut) {
      closeFile();
      std::string error;
      if (!openFile(error, cameraKnown ? &camera : nullptr)) {
        fail(error);
        return;
      }
    }
  }
  if (writing() && !outputStarted_) {
    if (deferredOpen_) {
      deferredOpen_ = false;
      std::string error;
      if (!openFile(error, cameraKnown ? &camera : nullptr)) {
        fail(error);
        return;
      }
    }
    segmentStart_ = position;
    segmentCameraStart_ = cameraKnown ? camera : -1;
    if (!startOutput(unit)) return;
  }
  if (annexB_) {
    if (resendSets_) writeAnnexBSets(unit);
    for (const std::string& nal : unit.nals) annexB_->add(nal);
    annexB_->flush();
    if (annexB_->failed()) fail("writing " + fileName_ + " failed");
  } else if (mp4_) {
    uint64_t ntp = 0;
    wallClock(0, unit.timestamp, ntp);
    mp4_->addSample(unit, position - segmentStart_, ntp);  // each file starts at 0
    if (mp4_->failed()) fail("writing " + fileName_ + " failed");
  }
  if (picture) ++frames_;
  if (limitReached()) flushOutput();  // nothing more will come
}

// Writes the latest parameter sets in front of the unit about to be written,
// and leaves out of that unit the same sets again.
void Recorder::writeAnnexBSets(AccessUnit& unit) {
  for (const std::string& set : sets_) annexB_->add(set);
  annexB_->flush();
  for (std::string& nal : unit.nals) {
    for (const std::string& set : sets_) {
      if (!set.empty() && nal == set) nal.clear();
    }
  }
  resendSets_ = false;
  if (annexB_->failed()) fail("writing " + fileName_ + " failed");
}

// Writes the header of a new output: the parameter sets for Annex B, ftyp
// and moov for MP4.
bool Recorder::startOutput(AccessUnit& unit) {
  const auto output = [this](const char* data, size_t size) { return emitOutput(data, size); };
  if (config_.format == OutputFormat::kAnnexB) {
    annexB_.reset(new AnnexBWriter(output));
    writeAnnexBSets(unit);
  } else {
    mp4_.reset(new Mp4Writer(
        [this](const Mp4Writer::Piece* pieces, size_t count) { return emitOutput(pieces, count); },
        config_.fragmentSeconds));
    Mp4Track track;
    track.codec = codec_;
    track.timescale = clockRate_;
    track.vps = sets_[kVps];
    track.sps = sets_[kSps];
    track.pps = sets_[kPps];
    std::string error;
    if (!mp4_->begin(track, error, audioInFiles_ ? &audioFormat_ : nullptr)) {
      mp4_.reset();
      fail(error);
      return false;
    }
    if (mp4_->failed()) fail("writing " + fileName_ + " failed");
  }
  outputStarted_ = true;
  return failure_.empty();
}

bool Recorder::emitOutput(const char* data, size_t size) {
  if (toStandardOutput()) {
    if (config_.standardOutput && config_.standardOutput(data, size)) return true;
    fail("writing to standard output failed");
    return false;
  }
  int error = 0;
  if (fd_ >= 0 && writeAll(fd_, data, size, error)) return true;
  fail("writing " + fileName_ + " failed: " + std::strerror(error));
  return false;
}

bool Recorder::emitOutput(const Mp4Writer::Piece* pieces, size_t count) {
  if (toStandardOutput()) {
    for (size_t i = 0; i < count; ++i) {
      if (pieces[i].size > 0 && !emitOutput(pieces[i].data, pieces[i].size)) return false;
    }
    return true;
  }
  iovecs_.clear();
  for (size_t i = 0; i < count; ++i)
    iovecs_.push_back(iovec{const_cast<char*>(pieces[i].data), pieces[i].size});
  int error = 0;
  if (fd_ >= 0 && writeAll(fd_, iovecs_, error)) return true;
  fail("writing " + fileName_ + " failed: " + std::strerror(error));
  return false;
}

bool Recorder::openFile(std::string& error, const double* cameraTime) {
  outputStarted_ = false;
  annexB_.reset();
  mp4_.reset();
  if (toStandardOutput()) {
    if (!outputOpen_) ++files_;
    outputOpen_ = true;
    fileName_ = "standard output";
    return true;
  }
  const std::string& pattern = config_.outputPattern;
  const std::time_t when =
      cameraTime != nullptr ? static_cast<std::time_t>(*cameraTime) : std::time(nullptr);
  std::string name = hasTimeField(pattern) ? localTimeName(pattern, when) : pattern;
  if (segmenting() && !hasTimeField(pattern)) {
    char number[16];
    std::snprintf(number, sizeof number, "-%04u", ++segmentNumber_);
    name = beforeExtension(pattern, number);
  }
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (config_.overwrite ? O_TRUNC : O_EXCL);
  std::string chosen = name;
  fd_ = ::open(chosen.c_str(), flags, 0644);
  int openError = fd_ < 0 ? errno : 0;
  struct stat status {};
  if (openError == EEXIST && ::stat(chosen.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    // A device or a pipe (/dev/null, a FIFO) is written to; no file is replaced.
    fd_ = ::open(chosen.c_str(), O_WRONLY | O_CLOEXEC);
    openError = fd_ < 0 ? errno : 0;
  }
  // A later segment whose name is taken (two cuts within one second of a
  // time pattern) gets a number rather than ending the recording.
  for (int n = 2; openError == EEXIST && files_ > 0 && n < 100; ++n) {
    chosen = beforeExtension(name, "-" + std::to_string(n));
    fd_ = ::open(chosen.c_str(), flags, 0644);
    openError = fd_ < 0 ? errno : 0;
  }
  if (fd_ < 0) {
    error =
        "cannot write " + chosen + ": " +
        (openError == EEXIST ? std::string("the file exists (it is never replaced unless asked)")
                             : std::string(std::strerror(openError)));
    return false;
  }
  fileName_ = chosen;
  outputOpen_ = true;
  ++files_;
  return true;
}

void Recorder::closeFile() {
  if (annexB_) annexB_->flush();
  if (mp4_) mp4_->flush();
  annexB_.reset();
  mp4_.reset();
  struct stat status {};
  if (fd_ >= 0 && !outputStarted_ && ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode) &&
      status.st_size == 0)
    ::unlink(fileName_.c_str());  // nothing to play: no file is better than an empty one
  outputStarted_ = false;
  if (fd_ >= 0) {
    if (::close(fd_) != 0) fail("writing " + fileName_ + " failed: " + std::strerror(errno));
    fd_ = -1;
  }
  if (!toStandardOutput()) outputOpen_ = false;
}

void Recorder::flushOutput() {
  if (annexB_) annexB_->flush();
  if (mp4_) mp4_->flush();
  if ((annexB_ && annexB_->failed()) || (mp4_ && mp4_->failed()))
    fail("writing " + fileName_ + " failed");
}

void Recorder::end() {
  if (depacketizer_ && !ended_) depacketizer_->finish();
  // Held pictures and frames go out as they are; the audio up to the end of
  // the last picture.
  if (sync_ == Sync::kWaiting) {
    sync_ = Sync::kArrival;
    replay();
  }
  if (audioThisSession_ && videoPlaced_) releaseAudio(videoEnd_);
  placed_.clear();
  heldFrames_.clear();
  // What is held back goes out now: a crash during the break loses nothing.
  flushOutput();
  if (!ended_) {
    ended_ = true;
    endedAt_ = Clock::now();
  }
  unit_.nals.clear();  // an access unit cut short is not written
  unitBytes_ = 0;
}

}  // namespace rtsp_pull
