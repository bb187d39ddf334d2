// Fuzz target: the ordered-delivery receiver. Input: a first byte choosing
// the window (1 to 80), then records of four bytes: a control byte (bit 0:
// the host refuses the first packet offered during this call; bit 1: an RTCP
// packet instead of RTP; bit 2: a packet too short to be RTP; bit 3: a second
// SSRC), the sequence number (big-endian), and a byte that is not used. Every
// RTP packet carries its serial number as its timestamp. Checks: each delivery is a packet
// handed in, delivered once; delivered sequence numbers go forward modulo
// 2^16 (1 to 32768 places) except across a counted restart; Execute is false
// exactly when the host refused a packet; never more than the window is held
// back.
#include <cstdint>
#include <set>
#include <string>

#include <rtsppull/rtp_receiver_ordered.h>

#include "check.h"
#include "support/rtp_packet.h"

namespace {

struct Host : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    check(!isFileHeader);
    if (length != 20) return true;  // RTCP passing through
    const unsigned seq = be16(data + 2), ahead = (seq - lastSeq) & 0xFFFFu;
    const std::uint32_t serial = be16(data + 4) << 16 | be16(data + 6);
    check(serial < fedSerials && delivered.insert(serial).second);
    const std::uint64_t restarts = ordered->counters().restarts;
    check(delivered.size() == 1 || (ahead >= 1 && ahead <= 32768) || restarts > restartsSeen);
    restartsSeen = restarts;
    lastSeq = seq;
    return !(refuseFirst && ++offered == 1);
  }
  CRTPReceiverOrdered* ordered = nullptr;
  std::set<std::uint32_t> delivered;
  std::uint32_t fedSerials = 0;
  std::uint64_t restartsSeen = 0;
  unsigned lastSeq = 0, offered = 0;
  bool refuseFirst = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned window = data[0] % 80u + 1;
  const auto ordered = owned(new CRTPReceiverOrdered(window));
  Host host;
  host.ordered = ordered.get();
  std::uint64_t fedRtp = 0;
  for (std::size_t pos = 1; pos + 4 <= size; pos += 4) {
    const unsigned control = data[pos];
    const bool rtcp = (control & 0x06u) == 0x02u, rtp = !rtcp && (control & 0x04u) == 0;
    // RTP of SSRC 1 or 2, or RTCP, or too short to be RTP.
    const std::string packet =
        rtp    ? RtpPacket(be16(data + pos + 1), host.fedSerials++, (control & 0x08u) ? 2 : 1)
        : rtcp ? std::string("\x80\xC8\x00\x00", 4)
               : std::string("\x80\x60\x00", 3);
    fedRtp += rtcp ? 0 : 1;
    host.refuseFirst = (control & 0x01u) != 0;
    host.offered = 0;
    const bool result = ordered->Execute(&host, packet, false, nullptr);
    check(result == !(host.refuseFirst && host.offered >= 1));
  }
  const CRTPReceiverOrdered::Counters c = ordered->counters();
  check(c.delivered == host.delivered.size());
  const std::uint64_t accounted = c.delivered + c.late + c.duplicate + c.invalid;
  check(accounted <= fedRtp && fedRtp - accounted <= window);
  return 0;
}
