#include "annexb_writer.h"

#include <utility>

namespace rtsp_pull {

namespace {

constexpr char kStartCode[] = {0, 0, 0, 1};
// Flush inside an access unit once this much is buffered.
constexpr size_t kFlushThreshold = 1 << 20;

}  // namespace

size_t announcedPpsSize(const std::string& line) {
  const std::string tag = "sprop-parameter-sets";
  const size_t at = line.find(tag);
  if (at == std::string::npos) return std::string::npos;
  const size_t comma = line.find(',', at + tag.size());
  if (comma == std::string::npos) return std::string::npos;
  size_t digits = 0;
  for (size_t i = comma + 1; i < line.size(); ++i) {
    const char c = line[i];
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!base64) break;
    ++digits;
  }
  return digits * 3 / 4;
}

AnnexBWriter::AnnexBWriter(Output output, bool waitForKeyframe, uint64_t frameLimit,
                           VideoCodec codec)
    : output_(std::move(output)),
      frameLimit_(frameLimit),
      codec_(codec),
      started_(!waitForKeyframe) {}

void AnnexBWriter::writeParameterSets(const std::string& sps, const std::string& pps) {
  for (const std::string* set : {&sps, &pps}) {
    if (!set->empty()) append(reinterpret_cast<const uint8_t*>(set->data()), set->size());
  }
  flush();
}

void AnnexBWriter::onNal(const uint8_t* nal, size_t size) {
  if (size == 0 || limitReached()) return;
  const uint8_t type = nalType(codec_, nal);
  if (!started_) {
    if (isKeyframe(codec_, type)) {
      started_ = true;
    } else if (parameterSetKind(codec_, type) < 0) {
      return;
    }
  }
  if (isPicture(codec_, type)) auHasPicture_ = true;
  append(nal, size);
  if (buffer_.size() >= kFlushThreshold) flush();
}

void AnnexBWriter::onAccessUnitEnd() {
  if (auHasPicture_) {
    auHasPicture_ = false;
    ++frames_;
  }
  flush();
}

void AnnexBWriter::append(const uint8_t* nal, size_t size) {
  buffer_.append(kStartCode, sizeof kStartCode);
  buffer_.append(reinterpret_cast<const char*>(nal), size);
}

bool AnnexBWriter::flush() {
  if (!buffer_.empty()) {
    if (!failed_ && output_) failed_ = !output_(buffer_.data(), buffer_.size());
    if (!failed_) bytesWritten_ += buffer_.size();
    buffer_.clear();
  }
  return !failed_;
}

}  // namespace rtsp_pull
