// RTP packets for the receiver and statistics tests.
#ifndef RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_
#define RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_

#include <algorithm>
#include <cstdint>
#include <string>

// `size` bytes (12 at least are built): version 2, no padding, extension or
// CSRC, payload type 96, the marker as given; the payload is `filler` bytes.
inline std::string RtpPacket(unsigned seq, std::uint32_t ts, std::uint32_t ssrc,
                             bool marker = false, std::size_t size = 20, char filler = 0) {
  std::string p(std::max<std::size_t>(size, 12), filler);
  const std::uint64_t head = (marker ? 0x80E0ull : 0x8060ull) << 48 | (seq & 0xFFFFull) << 32 | ts;
  for (int i = 0; i < 8; ++i)
    p[static_cast<std::size_t>(i)] = static_cast<char>(head >> (56 - 8 * i));
  for (int i = 0; i < 4; ++i)
    p[static_cast<std::size_t>(8 + i)] = static_cast<char>(ssrc >> (24 - 8 * i));
  return p.substr(0, size);
}

#endif  // RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_
