// H.265 depacketization (RFC 7798) for streams without decoding order
// numbers (sprop-max-don-diff 0, the default).
#ifndef RTSP_PULL_H265_DEPACKETIZER_H_
#define RTSP_PULL_H265_DEPACKETIZER_H_

#include <string>

#include "rtp_depacketizer.h"

namespace rtsp_pull {

// Turns the RTP packets of one H.265 stream (single NAL unit packets,
// aggregation packets, fragmentation units) back into NAL units, with the
// loss handling of RtpDepacketizer. PACI packets (type 50) and types 51-63
// are counted as unsupported and ignored; a packet shorter than its 2-byte
// payload header, or a fragmentation unit without its FU header, as
// malformed.
class H265Depacketizer : public RtpDepacketizer {
 public:
  explicit H265Depacketizer(NalSink& sink) : RtpDepacketizer(sink) {}

  // True when a stream whose a=fmtp parameters are `fmtp` (the text after
  // "a=fmtp:PT ") can be depacketized here; false with `error` set when it
  // announces decoding order numbers (sprop-max-don-diff above 0), which
  // this depacketizer does not read.
  static bool supportsFormat(const std::string& fmtp, std::string& error);

 private:
  void handlePayload(const uint8_t* payload, size_t size) override;
  UnitRole roleOf(const uint8_t* nal, size_t size) const override;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_H265_DEPACKETIZER_H_
