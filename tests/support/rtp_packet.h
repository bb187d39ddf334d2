// RTP packets for the receiver and statistics tests.
#ifndef RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_
#define RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>

// The 32-bit `words`, big-endian.
inline std::string BigEndianWords(std::initializer_list<std::uint32_t> words) {
  std::string out;
  for (const std::uint32_t w : words)
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(w >> shift);
  return out;
}

// `size` bytes (12 at least are built): version 2, no padding, extension or
// CSRC, payload type 96, the marker as given; the payload is `filler` bytes.
inline std::string RtpPacket(unsigned seq, std::uint32_t ts, std::uint32_t ssrc,
                             bool marker = false, std::size_t size = 20, char filler = 0) {
  std::string p =
      BigEndianWords({(marker ? 0x80E00000u : 0x80600000u) | (seq & 0xFFFFu), ts, ssrc});
  p.resize(std::max<std::size_t>(size, 12), filler);
  return p.substr(0, size);
}

// An RTCP sender report of `ssrc` without report blocks: NTP time `ntp`
// (32.32), RTP timestamp `ts`, packet count 7, octet count 700.
inline std::string SenderReportPacket(std::uint32_t ssrc, std::uint64_t ntp, std::uint32_t ts) {
  return BigEndianWords({0x80C80006u, ssrc, static_cast<std::uint32_t>(ntp >> 32),
                         static_cast<std::uint32_t>(ntp), ts, 7, 700});
}

#endif  // RTSPPULL_TESTS_SUPPORT_RTP_PACKET_H_
