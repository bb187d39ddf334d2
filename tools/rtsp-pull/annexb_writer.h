// Writes NAL units as an H.264 or H.265 Annex B byte stream and counts frames.
#ifndef RTSP_PULL_ANNEXB_WRITER_H_
#define RTSP_PULL_ANNEXB_WRITER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "h264_depacketizer.h"
#include "video_codec.h"

namespace rtsp_pull {

// SDP::fetch_sps_pps returns as the PPS the decoding of everything after the
// first comma up to the end of the line, so format parameters written after
// sprop-parameter-sets (";profile-level-id=...") add bytes after the PPS.
// This gives the PPS's real size: the number of bytes its own Base64 text
// holds, found in the first line that carries sprop-parameter-sets. Returns
// std::string::npos when there is no such line or comma.
size_t announcedPpsSize(const std::string& line);

class AnnexBWriter : public NalSink {
 public:
  // Receives the bytes to write; false when they could not be written.
  // May be empty: the stream is then only counted.
  using Output = std::function<bool(const char* data, size_t size)>;

  // With waitForKeyframe, NAL units before the first keyframe picture (IDR;
  // for H.265 any IRAP picture) are left out (parameter sets excepted), so
  // the stream starts where a decoder can. With a frameLimit above 0, nothing
  // is written after that many frames.
  AnnexBWriter(Output output, bool waitForKeyframe, uint64_t frameLimit,
               VideoCodec codec = VideoCodec::kH264);

  // Writes SPS and PPS (raw bytes, no start code; either may be empty) in
  // front of everything else.
  void writeParameterSets(const std::string& sps, const std::string& pps);

  void onNal(const uint8_t* nal, size_t size) override;
  void onAccessUnitEnd() override;

  // Hands on what is buffered. False once any write has failed.
  bool flush();

  uint64_t frames() const { return frames_; }
  uint64_t bytesWritten() const { return bytesWritten_; }
  bool limitReached() const { return frameLimit_ > 0 && frames_ >= frameLimit_; }
  bool failed() const { return failed_; }

 private:
  void append(const uint8_t* nal, size_t size);

  Output output_;
  uint64_t frameLimit_;
  VideoCodec codec_;
  bool started_ = false;  // an IDR picture has been seen (or no wait asked)
  bool auHasPicture_ = false;
  uint64_t frames_ = 0;
  uint64_t bytesWritten_ = 0;
  bool failed_ = false;
  std::string buffer_;  // the current access unit, written at its end
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_ANNEXB_WRITER_H_
