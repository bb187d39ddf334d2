#include "recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "annexb_writer.h"
#include "h264_depacketizer.h"

namespace rtsp_pull {

namespace {

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

}  // namespace

// Everything behind the Recorder's mutex.
class RecorderCore {
 public:
  explicit RecorderCore(RecorderConfig config) : config_(std::move(config)) {}
  ~RecorderCore() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool beginStream(SDP& sdp, std::string& error, std::string& notice) {
    if (!failure_.empty()) {
      error = failure_;
      return false;
    }
    const std::string codec = sdp.video_codec();
    if (!codec.empty() && codec != "H264") {
      error = "the stream's video is " + codec + ", which cannot be recorded yet";
      return false;
    }
    if (!writer_) {
      if (!openOutput(error)) return false;
      writer_.reset(new AnnexBWriter(output(), config_.waitForKeyframe, config_.frameLimit));
      depacketizer_.reset(new H264Depacketizer(*writer_));
    }
    std::string sps, pps;
    if (sdp.fetch_sps_pps(sps, pps) == 0) {
      for (const std::string& line : sdp.lines) {
        const size_t size = announcedPpsSize(line);
        if (size == std::string::npos) continue;
        if (size < pps.size()) pps.resize(size);
        break;
      }
      writer_->writeParameterSets(sps, pps);
    } else {
      notice =
          "note: no sprop-parameter-sets in the session description; relying on SPS and PPS "
          "inside the stream";
    }
    return checkWrite();
  }

  void onPacket(const uint8_t* data, size_t size) {
    if (!depacketizer_ || !failure_.empty() || isRtcp(data, size)) return;
    ++packets_;
    bytes_ += size;
    if (writer_->limitReached()) return;
    depacketizer_->push(data, size);
    if (writer_->limitReached()) writer_->flush();
    checkWrite();
  }

  void endStream() {
    if (writer_) writer_->flush();
    checkWrite();
  }

  bool finish(std::string& error) {
    if (!finished_) {
      finished_ = true;
      if (writer_) writer_->flush();
      checkWrite();
      if (fd_ >= 0) {
        if (::close(fd_) != 0 && failure_.empty())
          failure_ = "writing " + config_.outputPattern + " failed: " + std::strerror(errno);
        fd_ = -1;
      }
    }
    error = failure_;
    return failure_.empty();
  }

  RecorderStats stats() const {
    RecorderStats s;
    s.packets = packets_;
    s.bytes = bytes_;
    s.files = files_;
    if (writer_) s.frames = writer_->frames();
    if (depacketizer_) s.lost = depacketizer_->counters().lost;
    return s;
  }

  bool limitReached() const { return writer_ && writer_->limitReached(); }
  std::function<void(const std::string&)> noticeSink() const { return config_.notice; }
  const std::string& failure() const { return failure_; }

 private:
  bool openOutput(std::string& error) {
    const std::string& name = config_.outputPattern;
    if (name.empty() || name == "-") {
      if (name == "-") ++files_;
      return true;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (config_.overwrite ? O_TRUNC : O_EXCL);
    fd_ = ::open(name.c_str(), flags, 0644);
    if (fd_ < 0) {
      error = "cannot write " + name + ": " +
              (errno == EEXIST ? std::string("the file exists already") : std::strerror(errno));
      return false;
    }
    ++files_;
    return true;
  }

  AnnexBWriter::Output output() {
    const std::string& name = config_.outputPattern;
    if (name.empty()) return AnnexBWriter::Output();
    if (name == "-") {
      return [this](const char* data, size_t size) {
        if (config_.standardOutput && config_.standardOutput(data, size)) return true;
        writeError_ = "writing to standard output failed";
        return false;
      };
    }
    return [this](const char* data, size_t size) {
      int error = 0;
      if (writeAll(fd_, data, size, error)) return true;
      writeError_ = "writing " + config_.outputPattern + " failed: " + std::strerror(error);
      return false;
    };
  }

  bool checkWrite() {
    if (writer_ && writer_->failed() && failure_.empty())
      failure_ = writeError_.empty() ? std::string("writing the output failed") : writeError_;
    return failure_.empty();
  }

  RecorderConfig config_;
  int fd_ = -1;
  std::unique_ptr<AnnexBWriter> writer_;
  std::unique_ptr<H264Depacketizer> depacketizer_;
  uint64_t packets_ = 0;
  uint64_t bytes_ = 0;
  uint64_t files_ = 0;
  bool finished_ = false;
  std::string writeError_;
  std::string failure_;
};

Recorder::Recorder(RecorderConfig config) : core_(new RecorderCore(std::move(config))) {}

Recorder::~Recorder() = default;

bool Recorder::beginStream(SDP& sdp, std::string& error) {
  std::string notice;
  bool ok;
  std::function<void(const std::string&)> noticeSink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ok = core_->beginStream(sdp, error, notice);
    noticeSink = core_->noticeSink();
  }
  if (!notice.empty() && noticeSink) noticeSink(notice);
  return ok;
}

void Recorder::onPacket(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_->onPacket(data, size);
}

void Recorder::endStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  core_->endStream();
}

bool Recorder::finish(std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_->finish(error);
}

RecorderStats Recorder::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_->stats();
}

bool Recorder::limitReached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_->limitReached();
}

bool Recorder::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !core_->failure().empty();
}

std::string Recorder::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_->failure();
}

}  // namespace rtsp_pull
