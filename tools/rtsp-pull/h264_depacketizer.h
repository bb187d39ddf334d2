// H.264 depacketization (RFC 6184).
#ifndef RTSP_PULL_H264_DEPACKETIZER_H_
#define RTSP_PULL_H264_DEPACKETIZER_H_

#include "rtp_depacketizer.h"

namespace rtsp_pull {

// Turns the RTP packets of one H.264 stream (packetization modes 0 and 1:
// single NAL unit packets, STAP-A, FU-A) back into NAL units. Packet types of
// other modes (STAP-B, MTAP, FU-B) are counted and ignored.
class H264Depacketizer : public RtpDepacketizer {
 public:
  explicit H264Depacketizer(NalSink& sink) : RtpDepacketizer(sink) {}

 private:
  void handlePayload(const uint8_t* payload, size_t size) override;
  UnitRole roleOf(const uint8_t* nal, size_t size) const override;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_H264_DEPACKETIZER_H_
