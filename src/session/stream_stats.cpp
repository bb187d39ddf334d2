#include "session/stream_stats.h"

#include "rtp/rtcp_report.h"
#include "rtp/rtp_bytes.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

using rtpbytes::kMaxDropout;
using rtpbytes::kMaxMisorder;
using rtpbytes::kSeqMod;
using rtpbytes::readBE32;

const std::int64_t kRingPlaces = 1024;

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
  return text.substr(begin, end - begin);
}

// A decimal number from `text` at `pos` (spaces before it skipped), at most
// `limit`; -1 when there is none or it is larger.
long numberAt(const std::string& text, std::size_t& pos, long limit) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  long value = -1;
  for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0; ++pos) {
    value = (value < 0 ? 0 : value * 10) + (text[pos] - '0');
    if (value > limit) return -1;
  }
  return value;
}

std::int64_t steadyNs(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

VideoFormats videoFormats(const std::list<std::string>& sdpLines) {
  VideoFormats formats;
  bool inVideo = false;
  for (const std::string& raw : sdpLines) {
    const std::string line = trimmed(raw);
    if (line.compare(0, 2, "m=") == 0) {
      if (inVideo) break;
      std::istringstream fields(line.substr(2));
      std::string media, port, profile, format;
      fields >> media >> port >> profile;
      inVideo = media == "video";
      while (inVideo && fields >> format) {
        std::size_t pos = 0;
        const long type = numberAt(format, pos, 127);
        if (type >= 0 && pos == format.size())
          formats.payloadTypes.push_back(static_cast<int>(type));
      }
      // Static video payload types (JPEG, MPEG video, MPEG-2 TS, H.263) run at 90 kHz.
      if (inVideo && !formats.payloadTypes.empty() && formats.payloadTypes[0] < 96) {
        formats.clockRate = 90000;
      }
    } else if (inVideo && !formats.payloadTypes.empty() && line.compare(0, 9, "a=rtpmap:") == 0) {
      std::size_t pos = 9;
      if (numberAt(line, pos, 127) != formats.payloadTypes[0]) continue;
      const std::size_t slash = line.find('/', pos);
      if (slash == std::string::npos) continue;
      std::size_t at = slash + 1;
      const long rate = numberAt(line, at, 100000000);
      if (rate > 0) formats.clockRate = static_cast<std::uint32_t>(rate);
    }
  }
  return formats;
}

bool interleavedChannels(const std::string& transport, int& rtpChannel, int& rtcpChannel) {
  std::string lower = transport;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = lower.find("interleaved");
  if (at == std::string::npos) return false;
  std::size_t pos = at + 11;
  while (pos < lower.size() && lower[pos] == ' ') ++pos;
  if (pos >= lower.size() || lower[pos] != '=') return false;
  ++pos;
  const long first = numberAt(lower, pos, 255);
  if (first < 0) return false;
  while (pos < lower.size() && lower[pos] == ' ') ++pos;
  long second = first + 1;
  if (pos < lower.size() && lower[pos] == '-') {
    ++pos;
    second = numberAt(lower, pos, 255);
    if (second < 0) return false;
  }
  rtpChannel = static_cast<int>(first);
  rtcpChannel = static_cast<int>(second);
  return true;
}

void StreamStats::reset() {
  configure(Judgement(), 0);
  started_ = locked_ = hasTransit_ = false;
  lock_ = otherSsrc_ = 0;
  otherRun_ = 0;
  jitter16_ = 0;
  for (Counter* c : {&packets_, &bytes_, &lost_, &reordered_, &duplicated_, &unknownType_,
                     &wrongSource_, &malformed_, &rtcp_, &keepAlives_, &keepAlivesRefused_}) {
    c->store(0, std::memory_order_relaxed);
  }
  jitterPublished_.store(0, std::memory_order_relaxed);
  lastPacketNs_.store(0, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(reportMutex_);
  report_ = RTSPSessionStats();
}

void StreamStats::configure(const Judgement& judgement, std::uint32_t clockRate) {
  judgement_ = judgement;
  clockRate_ = clockRate;
  anyTypeCame_ = false;
  clockRatePublished_.store(clockRate, std::memory_order_relaxed);
}

bool StreamStats::onRtp(const std::uint8_t* data, std::size_t size, Clock::time_point arrival) {
  // RTCP on the RTP channel (RFC 5761: packet types 200 to 204) passes as before.
  if (size >= 2 && data[1] >= 200 && data[1] <= 204) {
    onRtcp(data, size);
    return true;
  }
  const bool valid = size >= 12 && data[0] >> 6 == 2;
  if (!valid && judgement_.dropMalformed) {
    bump(malformed_);
    return false;
  }
  if (valid) {
    if (!admitType(data[1] & 0x7F)) {
      bump(unknownType_);
      return false;
    }
    if (judgement_.lockSource && !admit(readBE32(data + 8))) {
      bump(wrongSource_);
      return false;
    }
  }
  bump(packets_);
  bump(bytes_, size);
  lastPacketNs_.store(steadyNs(arrival), std::memory_order_relaxed);
  if (!valid) return true;

  const std::uint32_t ssrc = readBE32(data + 8);
  const std::uint16_t seq = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
  if (started_ && ssrc == ssrc_ && static_cast<std::uint16_t>(seq - maxSeq_) == 1) {
    // The usual case, the next packet in order: its place is new (its bit
    // is set over whatever the ring held there), and at most one place
    // settles (every earlier advance settled up to kSettleDistance behind).
    maxSeq_ = seq;
    ++maxPlace_;
    ring_[ringWord(maxPlace_)] |= std::uint64_t(1) << ringBit(maxPlace_);
    if (settled_ <= maxPlace_ - kSettleDistance) {
      if (!seen(settled_)) bump(lost_);
      ++settled_;
    }
  } else if (!started_ || ssrc != ssrc_) {
    startSource(ssrc, seq);
  } else if (!track(seq)) {
    return true;
  }
  jitter(readBE32(data + 4), arrival);
  return true;
}

bool StreamStats::admitType(int type) {
  std::vector<int>& types = judgement_.payloadTypes;
  if (types.empty()) return true;
  const bool first = !anyTypeCame_;
  anyTypeCame_ = true;
  if (std::find(types.begin(), types.end(), type) != types.end()) return true;
  if (!first) return false;
  types.push_back(type);
  return true;
}

bool StreamStats::admit(std::uint32_t ssrc) {
  if (!locked_) {
    locked_ = true;
    lock_ = judgement_.hasAnnouncedSsrc ? judgement_.announcedSsrc : ssrc;
  }
  if (ssrc == lock_) {
    otherRun_ = 0;
    return true;
  }
  otherRun_ = ssrc == otherSsrc_ ? otherRun_ + 1 : 1;
  otherSsrc_ = ssrc;
  if (otherRun_ < kTakeOver) return false;
  lock_ = ssrc;
  otherRun_ = 0;
  return true;
}

void StreamStats::startSource(std::uint32_t ssrc, std::uint16_t seq) {
  if (started_) settleBefore(maxPlace_ + 1);
  started_ = true;
  ssrc_ = ssrc;
  maxSeq_ = seq;
  badSeq_ = kSeqMod + 1;  // matches no sequence number
  ring_.fill(0);
  maxPlace_ = settled_ = kSeqMod + seq;
  ring_[ringWord(maxPlace_)] |= std::uint64_t(1) << ringBit(maxPlace_);
  hasTransit_ = false;
}

bool StreamStats::track(std::uint16_t seq) {
  const std::uint32_t udelta = static_cast<std::uint16_t>(seq - maxSeq_);
  std::int64_t place;
  if (udelta < kMaxDropout) {
    place = maxPlace_ + udelta;
    if (udelta > 0) {
      advanceTo(place);
      maxSeq_ = seq;
    }
  } else if (udelta <= kSeqMod - kMaxMisorder) {
    // A big jump: a new count only when the next packet follows it (RFC
    // 3550 A.1), so a stray packet costs nothing and a restart of the
    // sender is not thousands of losses.
    if (seq != badSeq_) {
      badSeq_ = (seq + 1u) & (kSeqMod - 1);
      return false;
    }
    startSource(ssrc_, seq);
    return true;
  } else {
    place = maxPlace_ - static_cast<std::int64_t>(kSeqMod - udelta);
  }
  if (place <= maxPlace_ - kRingPlaces) {
    bump(reordered_);  // too old to tell a duplicate from a late packet
    return true;
  }
  if (seen(place)) {
    bump(duplicated_);
    return false;
  }
  ring_[ringWord(place)] |= std::uint64_t(1) << ringBit(place);
  if (place < maxPlace_) bump(reordered_);
  return true;
}

void StreamStats::advanceTo(std::int64_t place) {
  settleBefore(place - kSettleDistance + 1);
  if (place - maxPlace_ >= kRingPlaces) {
    ring_.fill(0);
  } else {
    for (std::int64_t p = maxPlace_ + 1; p <= place; ++p) {
      ring_[ringWord(p)] &= ~(std::uint64_t(1) << ringBit(p));
    }
  }
  maxPlace_ = place;
}

void StreamStats::settleBefore(std::int64_t place) {
  // Places up to maxPlace_ are in the ring; later ones never arrived.
  std::uint64_t missing = 0;
  for (; settled_ < place && settled_ <= maxPlace_; ++settled_) missing += !seen(settled_);
  if (settled_ < place) {
    missing += static_cast<std::uint64_t>(place - settled_);
    settled_ = place;
  }
  if (missing > 0) bump(lost_, missing);
}

void StreamStats::jitter(std::uint32_t rtpTime, Clock::time_point arrival) {
  // RFC 3550 A.8: arrival in RTP units (counted from the first packet, so
  // the product stays small), its difference to the RTP timestamp, and the
  // running mean of how much that difference changes.
  if (!hasTransit_) firstArrival_ = arrival;
  const std::int64_t us =
      std::chrono::duration_cast<std::chrono::microseconds>(arrival - firstArrival_).count();
  const std::int64_t rate = clockRate_ != 0 ? clockRate_ : 90000;
  const std::uint32_t transit = static_cast<std::uint32_t>(us * rate / 1000000) - rtpTime;
  if (hasTransit_) {
    const std::int32_t d = static_cast<std::int32_t>(transit - transit_);
    const std::uint64_t magnitude =
        d < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(d)) : d;
    jitter16_ = jitter16_ + magnitude - ((jitter16_ + 8) >> 4);
    jitterPublished_.store(
        static_cast<std::uint32_t>(std::min<std::uint64_t>(jitter16_ >> 4, 0xFFFFFFFFu)),
        std::memory_order_relaxed);
  }
  transit_ = transit;
  hasTransit_ = true;
}

void StreamStats::onRtcp(const std::uint8_t* data, std::size_t size) {
  bump(rtcp_);
  forEachSenderReport(data, size, [this](const SenderReport& sr) {
    const bool ours = locked_ ? sr.ssrc == lock_ : !started_ || sr.ssrc == ssrc_;
    if (!ours) return true;
    std::lock_guard<std::mutex> lock(reportMutex_);
    ++report_.senderReports;
    report_.srNtpTime = sr.ntpTime;
    report_.srRtpTime = sr.rtpTime;
    report_.srPacketCount = sr.packetCount;
    report_.srOctetCount = sr.octetCount;
    report_.srArrival = std::chrono::system_clock::now();
    return true;
  });
}

void StreamStats::onWrongSource(std::uint64_t count) {
  if (count > 0) bump(wrongSource_, count);
}

void StreamStats::onKeepAliveSent() { bump(keepAlives_); }

void StreamStats::onKeepAliveRefused() { bump(keepAlivesRefused_); }

void StreamStats::finish() {
  if (started_) settleBefore(maxPlace_ + 1);
}

RTSPSessionStats StreamStats::snapshot() const {
  const auto get = [](const Counter& c) { return c.load(std::memory_order_relaxed); };
  RTSPSessionStats s;
  {
    std::lock_guard<std::mutex> lock(reportMutex_);
    s = report_;
  }
  s.packets = get(packets_);
  s.bytes = get(bytes_);
  s.packetsLost = get(lost_);
  s.reordered = get(reordered_);
  s.duplicated = get(duplicated_);
  s.droppedUnknownPayloadType = get(unknownType_);
  s.droppedWrongSource = get(wrongSource_);
  s.droppedMalformed = get(malformed_);
  s.jitter = jitterPublished_.load(std::memory_order_relaxed);
  const std::uint32_t rate = clockRatePublished_.load(std::memory_order_relaxed);
  s.jitterSeconds = rate == 0 ? 0.0 : static_cast<double>(s.jitter) / rate;
  const std::int64_t last = lastPacketNs_.load(std::memory_order_relaxed);
  if (last != 0) {
    const std::chrono::nanoseconds ago(steadyNs(Clock::now()) - last);
    s.lastPacket = std::chrono::system_clock::now() -
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(ago);
  }
  s.rtcpPackets = get(rtcp_);
  s.keepAlivesSent = get(keepAlives_);
  s.keepAlivesRefused = get(keepAlivesRefused_);
  return s;
}
