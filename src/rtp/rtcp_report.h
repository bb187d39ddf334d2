// Receiver statistics of one RTP source and the RTCP receiver report that
// carries them (RFC 3550: sequence tracking as in appendix A.1, loss as in
// A.3, interarrival jitter as in A.8).
//
// Pure code: no sockets, no clock of its own; the caller passes arrival
// times. Not thread-safe: one thread (the session's receive thread) owns an
// object.
#ifndef RTSPPULL_RTP_RTCP_REPORT_H_
#define RTSPPULL_RTP_RTCP_REPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class RtcpReceiverStats {
 public:
  // `clockRate`: the RTP clock rate of the stream (the a=rtpmap value), used
  // for the jitter; 0 means 90000.
  explicit RtcpReceiverStats(std::uint32_t clockRate);

  // The SSRC that reports are about, when known before the first packet
  // (from the Transport header). Packets of other SSRCs are then ignored.
  void setSourceSsrc(std::uint32_t ssrc);
  bool hasSource() const { return hasSource_; }
  std::uint32_t sourceSsrc() const { return sourceSsrc_; }

  // One RTP packet arrived at `arrival` (any steady clock, the same for
  // every call). Shorter than 12 bytes or not version 2: ignored. The first
  // packet fixes the source when none was set.
  void onRtp(const std::uint8_t* data, std::size_t size, std::chrono::microseconds arrival);
  // An RTCP packet (possibly compound) arrived; the last sender report of
  // the source is kept for LSR and DLSR. Malformed packets are ignored from
  // the first bad length on.
  void onRtcp(const std::uint8_t* data, std::size_t size, std::chrono::microseconds arrival);

  std::uint64_t packetsReceived() const { return received_; }

  // The compound packet RR + SDES CNAME sent from `ownSsrc` at `now`. The RR
  // holds one report block once a packet of the source arrived, none before.
  // Each call starts a new interval for the fraction lost. `cname` is cut to
  // 255 bytes.
  std::string buildReport(std::uint32_t ownSsrc, const std::string& cname,
                          std::chrono::microseconds now);

 private:
  void initSequence(std::uint16_t seq);
  // False for a packet that is taken as a stray (a big jump not yet confirmed).
  bool updateSequence(std::uint16_t seq);

  std::uint32_t clockRate_;
  bool hasSource_ = false;
  bool seqStarted_ = false;
  std::uint32_t sourceSsrc_ = 0;
  // RFC 3550 A.1.
  std::uint16_t maxSeq_ = 0;
  std::uint32_t cycles_ = 0;
  std::uint32_t baseSeq_ = 0;
  std::uint32_t badSeq_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t expectedPrior_ = 0;
  std::uint64_t receivedPrior_ = 0;
  // RFC 3550 A.8, in RTP timestamp units.
  bool hasTransit_ = false;
  std::chrono::microseconds firstArrival_{0};
  std::uint32_t transit_ = 0;
  double jitter_ = 0;
  // The last sender report: the middle 32 bits of its NTP time and when it came.
  bool hasSenderReport_ = false;
  std::uint32_t lastSenderReport_ = 0;
  std::chrono::microseconds senderReportArrival_{0};
};

// What an RTCP sender report says (RFC 3550 6.4.1): its sender, the NTP
// time (seconds since 1900 in 32.32 fixed point) and the RTP timestamp of
// the same instant, and the sender's counts.
struct SenderReport {
  std::uint32_t ssrc = 0;
  std::uint64_t ntpTime = 0;
  std::uint32_t rtpTime = 0;
  std::uint32_t packetCount = 0;
  std::uint32_t octetCount = 0;
};

// Hands `visit` each sender report of the (possibly compound) RTCP packet in
// order, up to its first malformed part (not version 2, or a length past the
// end); `visit` returns false to stop there.
void forEachSenderReport(const std::uint8_t* data, std::size_t size,
                         const std::function<bool(const SenderReport&)>& visit);

// The first sender report of the (possibly compound) RTCP packet; false when
// it holds none before its first malformed part.
bool findSenderReport(const std::uint8_t* data, std::size_t size, SenderReport& report);

// The NTP time of RTP timestamp `rtpTime` on a clock of `clockRate` Hz (not
// 0), by the report's pair: timestamps up to 2^31 ahead of the report's are
// later, the others earlier (the 32-bit wrap). The result wraps at 2^64 as
// NTP times do at the end of an era.
std::uint64_t ntpTimeOf(const SenderReport& report, std::uint32_t rtpTime, std::uint32_t clockRate);

#endif  // RTSPPULL_RTP_RTCP_REPORT_H_
