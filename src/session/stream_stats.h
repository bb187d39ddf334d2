// The figures of a session's video stream (RTSPSessionStats), and the
// judgement of each video packet when the options ask for tolerant media:
// payload types the description does not announce, malformed packets and,
// over UDP, a stale stream of another source are dropped and counted.
//
// Threads: one writer (the receive thread; the host thread only while no
// receive thread runs: reset, configure) and any number of readers of
// snapshot(). Counters are atomics written with plain stores by the one
// writer, so counting costs no locked instruction per packet; the sender
// report figures, a few a second at most, are kept under a mutex so that a
// snapshot sees them whole.
#ifndef RTSPPULL_SESSION_STREAM_STATS_H_
#define RTSPPULL_SESSION_STREAM_STATS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include <rtsppull/session_stats.h>

// What the description says about the video track: its payload types (the
// formats of its m= line) and the clock rate of the first one's a=rtpmap.
struct VideoFormats {
  std::vector<int> payloadTypes;  // empty: no video section could be read
  std::uint32_t clockRate = 0;    // 0: no rtpmap for it
};
// The first "m=video" section of a description; lines may end with CR LF or
// not, and carry stray white space.
VideoFormats videoFormats(const std::list<std::string>& sdpLines);
// The channels of "interleaved=a-b" (or "=a") in a Transport value; false,
// leaving both untouched, when it names none that can be read.
bool interleavedChannels(const std::string& transport, int& rtpChannel, int& rtcpChannel);

class StreamStats {
 public:
  using Clock = std::chrono::steady_clock;

  // How packets of the video stream are judged.
  struct Judgement {
    // Payload types that are delivered; empty: all of them. When the
    // stream's first packet is of another type, that type is taken as the
    // video's too (cameras that announce one type and send another).
    std::vector<int> payloadTypes;
    // Drop packets that are not RTP version 2 with a whole header.
    bool dropMalformed = false;
    // Keep to one SSRC (the announced one, else the first to come); a
    // stream of another SSRC takes over only after kTakeOver packets in a
    // row while the one kept is silent.
    bool lockSource = false;
    bool hasAnnouncedSsrc = false;
    std::uint32_t announcedSsrc = 0;
  };
  static const int kTakeOver = 64;
  // A missing sequence number counts as lost once the highest number is
  // this far beyond it (so that a packet merely reordered is not).
  static const std::int64_t kSettleDistance = 64;

  StreamStats() = default;
  StreamStats(const StreamStats&) = delete;
  StreamStats& operator=(const StreamStats&) = delete;

  // Zero everything and judge nothing (all delivered); clock rate unknown.
  void reset();
  // The judgement and the clock rate (0: unknown) of the stream to come.
  void configure(const Judgement& judgement, std::uint32_t clockRate);

  // An RTP packet of the video track arrived at `arrival`: counted, and
  // true when it is to be handed to the receiver.
  bool onRtp(const std::uint8_t* data, std::size_t size, Clock::time_point arrival);
  // An RTCP packet (compound or not) of the video track.
  void onRtcp(const std::uint8_t* data, std::size_t size);
  // Datagrams from a sender that is not the server's.
  void onWrongSource(std::uint64_t count);
  void onKeepAliveSent();
  // A reply with an error status to a keep-alive.
  void onKeepAliveRefused();
  // Reception ended: every missing sequence number counts as lost now.
  void finish();

  // Any thread.
  RTSPSessionStats snapshot() const;

 private:
  using Counter = std::atomic<std::uint64_t>;
  static void bump(Counter& counter, std::uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
  }
  // The sequence tracking of one source (RFC 3550 A.1, places extended to
  // 64 bits); a restart settles the old one first.
  void startSource(std::uint32_t ssrc, std::uint16_t seq);
  // Whether the source lock lets a packet of `ssrc` through.
  bool admit(std::uint32_t ssrc);
  // Whether a packet of `type` passes the payload type judgement.
  bool admitType(int type);
  // Files `seq` of the current source; false for a duplicate and for a
  // packet not counted in the sequence (a jump not yet confirmed).
  bool track(std::uint16_t seq);
  void advanceTo(std::int64_t place);
  void settleBefore(std::int64_t place);
  bool seen(std::int64_t place) const { return (ring_[ringWord(place)] >> ringBit(place)) & 1u; }
  static std::size_t ringWord(std::int64_t place) {
    return static_cast<std::size_t>(place / 64) % kRingWords;
  }
  static unsigned ringBit(std::int64_t place) { return static_cast<unsigned>(place % 64); }
  void jitter(std::uint32_t rtpTime, Clock::time_point arrival);

  static const std::size_t kRingWords = 16;  // 1024 places remembered

  // Writer only.
  Judgement judgement_;
  std::uint32_t clockRate_ = 0;
  bool started_ = false;
  std::uint32_t ssrc_ = 0;
  bool locked_ = false;
  std::uint32_t lock_ = 0;  // the SSRC kept to
  std::uint32_t otherSsrc_ = 0;
  int otherRun_ = 0;
  bool anyTypeCame_ = false;
  std::uint16_t maxSeq_ = 0;
  std::int64_t maxPlace_ = 0;  // extended highest sequence number
  std::int64_t settled_ = 0;   // every place before it is decided
  std::uint32_t badSeq_ = 0;
  std::array<std::uint64_t, kRingWords> ring_{};
  bool hasTransit_ = false;
  Clock::time_point firstArrival_{};
  std::uint32_t transit_ = 0;
  std::uint64_t jitter16_ = 0;  // jitter times 16 (RFC 3550 A.8)

  // Published.
  Counter packets_{0}, bytes_{0}, lost_{0}, reordered_{0}, duplicated_{0}, unknownType_{0},
      wrongSource_{0}, malformed_{0}, rtcp_{0}, keepAlives_{0}, keepAlivesRefused_{0};
  std::atomic<std::uint32_t> jitterPublished_{0}, clockRatePublished_{0};
  std::atomic<std::int64_t> lastPacketNs_{0};  // steady clock; 0: none yet
  mutable std::mutex reportMutex_;
  RTSPSessionStats report_;  // only its sender-report fields; guarded by reportMutex_
};

#endif  // RTSPPULL_SESSION_STREAM_STATS_H_
