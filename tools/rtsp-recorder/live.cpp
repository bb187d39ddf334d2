#include "live.h"

#include <algorithm>
#include <utility>

#include "audio_format.h"

namespace rtsp_recorder {

namespace {

uint32_t u32(const std::string& s, size_t at) {
  return (uint32_t{static_cast<uint8_t>(s[at])} << 24) |
         (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
         (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) |
         uint32_t{static_cast<uint8_t>(s[at + 3])};
}

// The child box `type` of the box whose contents are s[begin, end): the
// range of its contents, or false.
bool child(const std::string& s, size_t begin, size_t end, const char* type, size_t& childBegin,
           size_t& childEnd) {
  size_t at = begin;
  while (at + 8 <= end) {
    const uint32_t size = u32(s, at);
    if (size < 8 || size > end - at) return false;
    if (s.compare(at + 4, 4, type) == 0) {
      childBegin = at + 8;
      childEnd = at + size;
      return true;
    }
    at += size;
  }
  return false;
}

// Sample flags: bit 16 is sample_is_non_sync_sample.
bool syncFlags(uint32_t flags) { return (flags & 0x00010000u) == 0; }

// The live recorder cuts a fragment at every picture.
constexpr double kLiveFragmentSeconds = 0.001;
constexpr double kLiveSyncWaitSeconds = 1;
// Bound on the fragments held for viewers to come (a stream with rare
// keyframes): past it a new viewer waits for the next keyframe instead.
constexpr size_t kMaxHeldFragments = 600;

}  // namespace

bool fragmentStartsWithKeyframe(const std::string& moof) {
  size_t trafBegin, trafEnd, b, e;
  if (moof.size() < 8 || !child(moof, 8, moof.size(), "traf", trafBegin, trafEnd)) return false;
  uint32_t defaultFlags = 0;
  bool haveDefault = false;
  if (child(moof, trafBegin, trafEnd, "tfhd", b, e) && e - b >= 8) {
    const uint32_t flags = u32(moof, b) & 0xFFFFFF;
    size_t at = b + 8;          // after version/flags and track_ID
    if (flags & 0x01) at += 8;  // base_data_offset
    if (flags & 0x02) at += 4;  // sample_description_index
    if (flags & 0x08) at += 4;  // default_sample_duration
    if (flags & 0x10) at += 4;  // default_sample_size
    if ((flags & 0x20) && at + 4 <= e) {
      defaultFlags = u32(moof, at);
      haveDefault = true;
    }
  }
  if (!child(moof, trafBegin, trafEnd, "trun", b, e) || e - b < 8) return false;
  const uint32_t flags = u32(moof, b) & 0xFFFFFF;
  if (u32(moof, b + 4) == 0) return false;  // no samples
  size_t at = b + 8;
  if (flags & 0x001) at += 4;  // data_offset
  if (flags & 0x004) return at + 4 <= e && syncFlags(u32(moof, at));
  if (flags & 0x400) {
    if (flags & 0x100) at += 4;  // sample_duration
    if (flags & 0x200) at += 4;  // sample_size
    return at + 4 <= e && syncFlags(u32(moof, at));
  }
  return haveDefault && syncFlags(defaultFlags);
}

std::vector<Mp4Splitter::Part> Mp4Splitter::feed(const char* data, size_t size) {
  std::vector<Part> parts;
  buffer_.append(data, size);
  size_t at = 0;
  while (buffer_.size() - at >= 8) {
    const uint32_t boxSize = u32(buffer_, at);
    if (boxSize < 8) {  // not a stream this writer makes: start over
      buffer_.clear();
      havePending_ = false;
      return parts;
    }
    if (buffer_.size() - at < boxSize) break;
    const std::string type = buffer_.substr(at + 4, 4);
    const char* box = buffer_.data() + at;
    if (type == "ftyp" || type == "moof") {
      pending_ = Part();
      pending_.header = type == "ftyp";
      if (!pending_.header)
        pending_.keyframe = fragmentStartsWithKeyframe(std::string(box, boxSize));
      pending_.bytes.assign(box, boxSize);
      havePending_ = true;
    } else if (havePending_ &&
               ((type == "moov" && pending_.header) || (type == "mdat" && !pending_.header))) {
      pending_.bytes.append(box, boxSize);
      parts.push_back(std::move(pending_));
      havePending_ = false;
    }
    at += boxSize;
  }
  buffer_.erase(0, at);
  return parts;
}

bool Viewer::push(uint32_t feed, std::shared_ptr<const std::string> bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (queuedBytes_ + bytes->size() > kMaxQueuedBytes) {
      closed_ = true;  // too far behind to be live: the page reconnects
    } else {
      queuedBytes_ += bytes->size();
      queue_.push_back(Chunk{feed, std::move(bytes)});
    }
  }
  changed_.notify_all();
  return true;
}

void Viewer::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  lock.unlock();
  changed_.notify_all();
}

bool Viewer::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool Viewer::take(std::vector<Chunk>& chunks, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return closed_ || !queue_.empty(); });
  chunks.assign(queue_.begin(), queue_.end());
  queue_.clear();
  queuedBytes_ = 0;
  return !(closed_ && chunks.empty());
}

LiveFeed::~LiveFeed() { closeAll(); }

std::vector<SDPMedia> liveMedia(const SDP& sdp, bool audio) {
  std::vector<SDPMedia> media;
  if (!audio) return media;
  std::string text;
  for (const std::string& line : sdp.lines) text += line;
  for (SDPMedia& m : SDPMedia::parseAll(text, std::string())) {
    rtsp_pull::AudioFormat format;
    std::string ignored;
    if (m.media == "audio" &&
        (rtsp_pull::readAudioFormat(m, format, ignored) != rtsp_pull::AudioError::kNone ||
         format.codec == rtsp_pull::AudioCodec::kPcmu ||
         format.codec == rtsp_pull::AudioCodec::kPcma))
      continue;
    media.push_back(std::move(m));
  }
  return media;
}

bool LiveFeed::beginLocked(const SDP& sdp) {
  std::string error;
  SDP copy(sdp);
  return recorder_->beginStream(copy, liveMedia(sdp, audio_), error);
}

void LiveFeed::onHeader(const SDP& sdp) {
  std::lock_guard<std::mutex> lock(mutex_);
  sdp_.reset(new SDP(sdp));
  tracks_.clear();
  if (!recorder_) {
    // Viewers that came while the camera was away start with this stream.
    if (!viewers_.empty()) startRecorderLocked();
    return;
  }
  if (!beginLocked(sdp)) {
    // A stream that cannot go on in the same MP4 (another codec): the
    // viewers start again on the new one.
    recorder_.reset();
    for (const Attached& a : viewers_) {
      if (auto viewer = a.viewer.lock()) viewer->close();
    }
    viewers_.clear();
    active_ = false;
  }
}

void LiveFeed::onPacket(const uint8_t* data, size_t size) {
  if (!active_.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (recorder_) recorder_->onPacket(data, size);
  if (viewers_.empty()) {  // the last viewer left while this packet was published
    recorder_.reset();
    active_ = false;
  }
}

void LiveFeed::onTrackPacket(int track, const uint8_t* data, size_t size, bool isRtcp) {
  if (track == 0 && !isRtcp) return onPacket(data, size);
  if (!active_.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (recorder_) recorder_->onTrackPacket(track, data, size, isRtcp);
}

void LiveFeed::setWallClock(rtsp_pull::Recorder::WallClock wallClock) {
  std::lock_guard<std::mutex> lock(mutex_);
  wallClock_ = std::move(wallClock);
  if (recorder_) recorder_->setWallClock(wallClock_);
}

void LiveFeed::setTracks(const std::vector<RTSPTrack>& tracks) {
  std::lock_guard<std::mutex> lock(mutex_);
  tracks_ = tracks;
  if (recorder_) recorder_->setTracks(tracks_);
}

void LiveFeed::onStreamEnd() {
  std::lock_guard<std::mutex> lock(mutex_);
  wallClock_ = nullptr;
  if (recorder_) {
    recorder_->endStream();
    recorder_->setWallClock(nullptr);
  }
}

void LiveFeed::attach(const std::shared_ptr<Viewer>& viewer, uint32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Fragments made for viewers that have all left since are stale.
  if (viewers_.empty()) recorder_.reset();
  viewers_.push_back(Attached{viewer, index});
  if (recorder_ && header_) {
    viewer->push(index, header_);
    for (const auto& fragment : sinceKeyframe_) viewer->push(index, fragment);
  }
  if (!recorder_ && sdp_) startRecorderLocked();
  active_ = true;
}

void LiveFeed::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Attached& a : viewers_) {
    if (auto viewer = a.viewer.lock()) viewer->close();
  }
  viewers_.clear();
  recorder_.reset();
  active_ = false;
}

size_t LiveFeed::viewers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return viewers_.size();
}

void LiveFeed::startRecorderLocked() {
  rtsp_pull::RecorderConfig config;
  config.outputPattern = "-";
  config.format = rtsp_pull::OutputFormat::kMp4;
  config.fragmentSeconds = kLiveFragmentSeconds;
  config.recordAudio = audio_;
  // A viewer joining a running session finds the sender reports known; one
  // at the session's start waits less for them than a recording does.
  config.syncWaitSeconds = kLiveSyncWaitSeconds;
  config.standardOutput = [this](const char* data, size_t size) {
    publishLocked(data, size);  // called inside onPacket, under mutex_
    return true;
  };
  recorder_.reset(new rtsp_pull::Recorder(std::move(config)));
  splitter_ = Mp4Splitter();
  header_.reset();
  sinceKeyframe_.clear();
  if (!beginLocked(*sdp_)) {
    recorder_.reset();
    return;
  }
  recorder_->setWallClock(wallClock_);
  if (!tracks_.empty()) recorder_->setTracks(tracks_);
}

void LiveFeed::publishLocked(const char* data, size_t size) {
  for (Mp4Splitter::Part& part : splitter_.feed(data, size)) {
    auto bytes = std::make_shared<const std::string>(std::move(part.bytes));
    if (part.header) {
      header_ = bytes;
      sinceKeyframe_.clear();
    } else {
      if (part.keyframe || sinceKeyframe_.size() >= kMaxHeldFragments) sinceKeyframe_.clear();
      // A viewer that joins later starts at the latest keyframe.
      sinceKeyframe_.push_back(bytes);
    }
    bool anyLeft = false;
    for (auto it = viewers_.begin(); it != viewers_.end();) {
      auto viewer = it->viewer.lock();
      if (!viewer || !viewer->push(it->index, bytes)) {
        it = viewers_.erase(it);
      } else {
        anyLeft = true;
        ++it;
      }
    }
    if (!anyLeft) active_ = false;
  }
}

}  // namespace rtsp_recorder
