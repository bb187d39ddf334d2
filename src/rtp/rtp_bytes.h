// Network-order reads and the sequence-number constants of RTP, shared by the
// receivers, the receiver report and the stream figures. Internal header.
#ifndef RTSPPULL_RTP_RTP_BYTES_H_
#define RTSPPULL_RTP_RTP_BYTES_H_

#include <cstdint>

namespace rtpbytes {

// Byte by byte: no alignment or layout assumptions about the packet.
inline std::uint16_t readBE16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t readBE32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
inline std::uint16_t readBE16(const char* p) {
  return readBE16(reinterpret_cast<const std::uint8_t*>(p));
}
inline std::uint32_t readBE32(const char* p) {
  return readBE32(reinterpret_cast<const std::uint8_t*>(p));
}

// Sequence tracking as RFC 3550 A.1 gives it: the number space, how far ahead
// a packet may jump and how far behind it may arrive before either counts as
// the sender starting afresh.
const std::uint32_t kSeqMod = 1u << 16;
const std::uint32_t kMaxDropout = 3000;
const std::uint32_t kMaxMisorder = 100;

const std::uint8_t kRtcpSenderReport = 200;
const std::uint8_t kRtcpReceiverReport = 201;

}  // namespace rtpbytes

#endif  // RTSPPULL_RTP_RTP_BYTES_H_
