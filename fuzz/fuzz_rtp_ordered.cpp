// Fuzz target: the ordered-delivery receiver. Input: a first byte choosing
// the window (1 to 80), then records of four bytes: a control byte (bit 0:
// the host refuses the first packet offered during this call; bit 1: an RTCP
// packet instead of RTP; bit 2: a packet too short to be RTP; bit 3: a second
// SSRC), the sequence number (big-endian), and a byte of payload. Every RTP
// packet also carries its serial number. Checks: each delivery is a packet
// handed in, delivered once; delivered sequence numbers go forward modulo
// 2^16 (1 to 32768 places) except across a counted restart; Execute is false
// exactly when the host refused a packet; the counters account for every
// packet and never more than the window is held.
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <rtsppull/rtp_receiver_ordered.h>

#include "check.h"

namespace {

std::string rtpPacket(unsigned seq, bool secondSsrc, std::uint8_t payload, std::uint32_t serial) {
  std::string p(20, '\0');
  p[0] = '\x80';
  p[1] = '\x60';
  p[2] = static_cast<char>(seq >> 8);
  p[3] = static_cast<char>(seq);
  p[11] = secondSsrc ? '\x02' : '\x01';
  for (int i = 0; i < 4; ++i) p[12 + i] = static_cast<char>(serial >> (24 - 8 * i));
  p[16] = static_cast<char>(payload);
  return p;
}

std::uint32_t serialOf(const char* data) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(data);
  return static_cast<std::uint32_t>(u[12]) << 24 | static_cast<std::uint32_t>(u[13]) << 16 |
         static_cast<std::uint32_t>(u[14]) << 8 | u[15];
}

struct Host : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    check(!isFileHeader);
    if (length != 20) return true;  // RTCP passing through
    const unsigned seq =
        static_cast<unsigned char>(data[2]) * 256u + static_cast<unsigned char>(data[3]);
    check(serialOf(data) < fedSerials);
    check(delivered.insert(serialOf(data)).second);
    if (hasLast) {
      const unsigned ahead = (seq - lastSeq) & 0xFFFFu;
      const std::uint64_t restarts = ordered->counters().restarts;
      check((ahead >= 1 && ahead <= 32768) || restarts > restartsSeen);
      restartsSeen = restarts;
    }
    hasLast = true;
    lastSeq = seq;
    ++offered;
    return !(refuseFirst && offered == 1);
  }
  CRTPReceiverOrdered* ordered = nullptr;
  std::set<std::uint32_t> delivered;
  std::uint32_t fedSerials = 0;
  std::uint64_t restartsSeen = 0;
  unsigned lastSeq = 0, offered = 0;
  bool hasLast = false, refuseFirst = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned window = data[0] % 80u + 1;
  std::unique_ptr<CRTPReceiverOrdered, void (*)(CRTPReceiverImpl*)> ordered(
      new CRTPReceiverOrdered(window), [](CRTPReceiverImpl* i) { i->Destroy(); });
  Host host;
  host.ordered = ordered.get();
  std::uint64_t fedRtp = 0, fedRtcp = 0;
  for (std::size_t pos = 1; pos + 4 <= size; pos += 4) {
    const unsigned control = data[pos];
    const unsigned seq = data[pos + 1] * 256u + data[pos + 2];
    std::string packet;
    if ((control & 0x02u) != 0) {
      packet = std::string("\x80\xC8\x00\x00", 4);
      ++fedRtcp;
    } else if ((control & 0x04u) != 0) {
      packet = std::string("\x80\x60\x00", 3);
      ++fedRtp;
    } else {
      packet = rtpPacket(seq, (control & 0x08u) != 0, data[pos + 3], host.fedSerials++);
      ++fedRtp;
    }
    host.refuseFirst = (control & 0x01u) != 0;
    host.offered = 0;
    const bool result = ordered->Execute(&host, packet, false, nullptr);
    check(result == !(host.refuseFirst && host.offered >= 1));
  }
  const CRTPReceiverOrdered::Counters c = ordered->counters();
  check(c.delivered == host.delivered.size());
  check(c.rtcp == fedRtcp);
  const std::uint64_t accounted = c.delivered + c.late + c.duplicate + c.invalid;
  check(accounted <= fedRtp && fedRtp - accounted <= window);
  return 0;
}
