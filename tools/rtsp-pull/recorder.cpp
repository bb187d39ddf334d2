#include "recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

std::string localTimeName(const std::string& pattern) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::vector<char> name(pattern.size() * 4 + 256);
  const size_t n = std::strftime(name.data(), name.size(), pattern.c_str(), &local);
  return n > 0 ? std::string(name.data(), n) : pattern;
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
  std::vector<std::string> notices;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (firstStart_ == Clock::time_point()) firstStart_ = Clock::now();
    ok = begin(sdp, error, notices);
  }
  if (config_.notice) {
    for (const std::string& line : notices) config_.notice(line);
  }
  return ok;
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
  if (!failure_.empty()) return Progress::kFailed;
  return limitReached() ? Progress::kLimitReached : Progress::kRecording;
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
  s.lost = lostBefore_ + (depacketizer_ ? depacketizer_->counters().lost : 0);
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
  if (unitBytes_ <= kMaxAccessUnitBytes) handleAccessUnit();
  unit_.nals.clear();
  unitBytes_ = 0;
}

bool Recorder::begin(SDP& sdp, std::string& error, std::vector<std::string>& notices) {
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
    if (writing() && !openFile(error)) return false;
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
  return true;
}

void Recorder::handleAccessUnit() {
  if (!failure_.empty() || limitReached() || unit_.nals.empty()) return;
  bool picture = false;
  for (const std::string& nal : unit_.nals) {
    if (nal.empty()) continue;
    const uint8_t type = nalType(codec_, reinterpret_cast<const uint8_t*>(nal.data()));
    const int kind = parameterSetKind(codec_, type);
    if (kind >= 0) sets_[kind] = nal;
    if (isPicture(codec_, type)) picture = true;
  }
  const bool mp4 = config_.format == OutputFormat::kMp4;
  if (!picture && mp4) return;  // an MP4 sample is a picture
  if (unit_.keyframe) ++keyframes_;
  const uint64_t position = timeline_.place(unit_.timestamp);

  if (!streamStarted_) {
    // Start where a decoder can: at a keyframe, once its parameter sets are
    // known (MP4 needs them for its header before any unit).
    if (config_.waitForKeyframe && !unit_.keyframe) return;
    if ((unit_.keyframe || mp4) && !haveParameterSets()) {
      if (unit_.keyframe) keyframeWithoutSets_ = true;
      return;
    }
    streamStarted_ = true;
  }
  if (segmenting() && outputStarted_ && unit_.keyframe &&
      position - segmentStart_ >=
          static_cast<uint64_t>(config_.segmentSeconds * static_cast<double>(clockRate_))) {
    closeFile();
    std::string error;
    if (!openFile(error)) {
      fail(error);
      return;
    }
  }
  if (writing() && !outputStarted_) {
    segmentStart_ = position;
    if (!startOutput()) return;
  }
  if (annexB_) {
    if (resendSets_) writeAnnexBSets();
    for (const std::string& nal : unit_.nals) annexB_->add(nal);
    annexB_->flush();
    if (annexB_->failed()) fail("writing " + fileName_ + " failed");
  } else if (mp4_) {
    mp4_->addSample(unit_, position - segmentStart_);  // each file starts at 0
    if (mp4_->failed()) fail("writing " + fileName_ + " failed");
  }
  if (picture) ++frames_;
  if (limitReached()) flushOutput();  // nothing more will come
}

// Writes the latest parameter sets in front of the unit about to be written,
// and leaves out of that unit the same sets again.
void Recorder::writeAnnexBSets() {
  for (const std::string& set : sets_) annexB_->add(set);
  annexB_->flush();
  for (std::string& nal : unit_.nals) {
    for (const std::string& set : sets_) {
      if (!set.empty() && nal == set) nal.clear();
    }
  }
  resendSets_ = false;
  if (annexB_->failed()) fail("writing " + fileName_ + " failed");
}

// Writes the header of a new output: the parameter sets for Annex B, ftyp
// and moov for MP4.
bool Recorder::startOutput() {
  const auto output = [this](const char* data, size_t size) { return emitOutput(data, size); };
  if (config_.format == OutputFormat::kAnnexB) {
    annexB_.reset(new AnnexBWriter(output));
    writeAnnexBSets();
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
    if (!mp4_->begin(track, error)) {
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

bool Recorder::openFile(std::string& error) {
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
  std::string name = hasTimeField(pattern) ? localTimeName(pattern) : pattern;
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
