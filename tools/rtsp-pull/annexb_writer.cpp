#include "annexb_writer.h"

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

void AnnexBWriter::add(const std::string& nal) {
  if (nal.empty()) return;
  buffer_.append(kStartCode, sizeof kStartCode);
  buffer_.append(nal);
  if (buffer_.size() >= kFlushThreshold) flush();
}

bool AnnexBWriter::flush() {
  if (!buffer_.empty() && !failed_) failed_ = !output_(buffer_.data(), buffer_.size());
  buffer_.clear();
  return !failed_;
}

}  // namespace rtsp_pull
