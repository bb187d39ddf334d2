// Figures of a session's stream, for hosts that watch its health.
#ifndef RTSPPULL_SESSION_STATS_H_
#define RTSPPULL_SESSION_STATS_H_

#include <chrono>
#include <cstdint>

// A snapshot of one session, taken by CRTSPDownload::stats(). Counters start
// at zero with each start and never go backwards while it runs; they keep
// their last values after reception ends, until the next start. Figures are
// of the video track's RTP packets (RTCP is counted apart).
struct RTSPSessionStats {
  // RTP packets and their bytes (the RTP header included) handed to the
  // receiver.
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
  // Packets missing from the sequence (RFC 3550 A.3: expected - received,
  // never negative), arrived after a later one, and arrived twice.
  std::uint64_t packetsLost = 0;
  std::uint64_t reordered = 0;
  std::uint64_t duplicated = 0;
  // Packets not handed on, by why.
  std::uint64_t droppedUnknownPayloadType = 0;  // a payload type the SDP does not announce
  std::uint64_t droppedWrongSource = 0;         // UDP from an address not the server's
  std::uint64_t droppedMalformed = 0;           // too short, not RTP version 2
  // Interarrival jitter (RFC 3550 A.8) in RTP timestamp units and in
  // seconds (by the track's clock rate; 0 while it is unknown).
  std::uint32_t jitter = 0;
  double jitterSeconds = 0;
  // Arrival of the last RTP packet; epoch (zero) before the first.
  std::chrono::system_clock::time_point lastPacket{};
  // RTCP packets received, keep-alives sent and those answered with an error
  // status.
  std::uint64_t rtcpPackets = 0;
  std::uint64_t keepAlivesSent = 0;
  std::uint64_t keepAlivesRefused = 0;
  // The last RTCP sender report of the video source: its NTP time (seconds
  // since 1900 in 32.32 fixed point), RTP timestamp and sender's counts, and
  // when it arrived. senderReports == 0: none yet.
  std::uint64_t senderReports = 0;
  std::uint64_t srNtpTime = 0;
  std::uint32_t srRtpTime = 0;
  std::uint32_t srPacketCount = 0;
  std::uint32_t srOctetCount = 0;
  std::chrono::system_clock::time_point srArrival{};
};

#endif  // RTSPPULL_SESSION_STATS_H_
