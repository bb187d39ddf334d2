// The Annex B byte stream the recorder writes, and the size of the PPS a
// session description announces.
#ifndef RTSP_PULL_ANNEXB_WRITER_H_
#define RTSP_PULL_ANNEXB_WRITER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace rtsp_pull {

// SDP::fetch_sps_pps returns as the PPS the decoding of everything after the
// first comma up to the end of the line, so format parameters written after
// sprop-parameter-sets (";profile-level-id=...") add bytes after the PPS.
// This gives the PPS's real size: the number of bytes its own Base64 text
// holds, found in the first line that carries sprop-parameter-sets. Returns
// std::string::npos when there is no such line or comma.
size_t announcedPpsSize(const std::string& line);

// Writes NAL units as an Annex B byte stream (H.264 or H.265): each behind a
// 4-byte start code, held until flush() or until 1 MiB is held.
class AnnexBWriter {
 public:
  // Receives the bytes to write; false when they could not be written.
  using Output = std::function<bool(const char* data, size_t size)>;

  explicit AnnexBWriter(Output output) : output_(std::move(output)) {}

  // One NAL unit, header included, no start code; empty ones are left out.
  void add(const std::string& nal);
  // Hands on what is held. False once any write has failed.
  bool flush();
  bool failed() const { return failed_; }

 private:
  Output output_;
  bool failed_ = false;
  std::string buffer_;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_ANNEXB_WRITER_H_
