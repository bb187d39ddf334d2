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

// An RTCP sender report of `ssrc` without report blocks: NTP time `ntp`
// (32.32), RTP timestamp `ts`, packet count 7, octet count 700.
inline std::string SenderReportPacket(std::uint32_t ssrc, std::uint64_t ntp, std::uint32_t ts) {
  std::string p(28, '\0');
  const std::uint32_t words[] = {
      0x80C80006u, ssrc, static_cast<std::uint32_t>(ntp >> 32), static_cast<std::uint32_t>(ntp), ts,
      7,           700};
  for (std::size_t w = 0; w < 7; ++w) {
    for (std::size_t i = 0; i < 4; ++i) p[4 * w + i] = static_cast<char>(words[w] >> (24 - 8 * i));
  }
  return p;
}

#endif  // RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_
