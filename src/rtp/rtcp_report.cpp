#include "rtp/rtcp_report.h"

#include "rtp/rtp_bytes.h"

#include <algorithm>

namespace {

using rtpbytes::kMaxDropout;
using rtpbytes::kMaxMisorder;
using rtpbytes::kRtcpReceiverReport;
using rtpbytes::kRtcpSenderReport;
using rtpbytes::kSeqMod;
using rtpbytes::readBE32;

const std::uint8_t kSourceDescription = 202;
const std::uint8_t kCname = 1;

void appendBE16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v >> 8 & 0xFF));
  out.push_back(static_cast<char>(v & 0xFF));
}

void appendBE32(std::string& out, std::uint32_t v) {
  appendBE16(out, v >> 16);
  appendBE16(out, v & 0xFFFF);
}

}  // namespace

RtcpReceiverStats::RtcpReceiverStats(std::uint32_t clockRate)
    : clockRate_(clockRate == 0 ? 90000 : clockRate) {}

void RtcpReceiverStats::setSourceSsrc(std::uint32_t ssrc) {
  hasSource_ = true;
  sourceSsrc_ = ssrc;
}

void RtcpReceiverStats::initSequence(std::uint16_t seq) {
  baseSeq_ = seq;
  maxSeq_ = seq;
  badSeq_ = kSeqMod + 1;  // so that seq == badSeq_ is false
  cycles_ = 0;
  received_ = 0;
  receivedPrior_ = 0;
  expectedPrior_ = 0;
  seqStarted_ = true;
}

// RFC 3550 A.1 without the probation of a new source: the session knows its
// source from the handshake.
bool RtcpReceiverStats::updateSequence(std::uint16_t seq) {
  const std::uint32_t udelta = static_cast<std::uint16_t>(seq - maxSeq_);
  if (udelta < kMaxDropout) {
    if (seq < maxSeq_) cycles_ += kSeqMod;  // wrapped
    maxSeq_ = seq;
  } else if (udelta <= kSeqMod - kMaxMisorder) {
    // A big jump: taken as a restart of the sender only when the next packet
    // follows it.
    if (seq != badSeq_) {
      badSeq_ = (seq + 1u) & (kSeqMod - 1);
      return false;
    }
    initSequence(seq);
  }
  // Otherwise a duplicate or a reordered packet: counted, max unchanged.
  ++received_;
  return true;
}

void RtcpReceiverStats::onRtp(const std::uint8_t* data, std::size_t size,
                              std::chrono::microseconds arrival) {
  if (size < 12 || data[0] >> 6 != 2) return;
  const std::uint32_t ssrc = readBE32(data + 8);
  if (!hasSource_) setSourceSsrc(ssrc);
  if (ssrc != sourceSsrc_) return;
  const std::uint16_t seq = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
  if (!seqStarted_) {
    initSequence(seq);
    ++received_;
  } else if (!updateSequence(seq)) {
    return;
  }

  // Arrival in RTP timestamp units, counted from the first packet so that
  // the product stays small; only differences of transit times matter.
  if (!hasTransit_) firstArrival_ = arrival;
  const std::int64_t sinceFirst = (arrival - firstArrival_).count();
  const std::uint32_t arrivalUnits =
      static_cast<std::uint32_t>(sinceFirst * static_cast<std::int64_t>(clockRate_) / 1000000);
  const std::uint32_t transit = arrivalUnits - readBE32(data + 4);
  if (hasTransit_) {
    const std::int32_t d = static_cast<std::int32_t>(transit - transit_);
    const double magnitude = d < 0 ? -static_cast<double>(d) : static_cast<double>(d);
    jitter_ += (magnitude - jitter_) / 16.0;
  }
  transit_ = transit;
  hasTransit_ = true;
}

void RtcpReceiverStats::onRtcp(const std::uint8_t* data, std::size_t size,
                               std::chrono::microseconds arrival) {
  forEachSenderReport(data, size, [&](const SenderReport& report) {
    if (!hasSource_ || report.ssrc == sourceSsrc_) {
      if (!hasSource_) setSourceSsrc(report.ssrc);
      // LSR: the middle 32 bits of the NTP time.
      lastSenderReport_ = static_cast<std::uint32_t>(report.ntpTime >> 16);
      senderReportArrival_ = arrival;
      hasSenderReport_ = true;
    }
    return true;
  });
}

std::string RtcpReceiverStats::buildReport(std::uint32_t ownSsrc, const std::string& cname,
                                           std::chrono::microseconds now) {
  std::string out;
  const bool withBlock = seqStarted_;
  out.push_back(static_cast<char>(0x80 | (withBlock ? 1 : 0)));
  out.push_back(static_cast<char>(kRtcpReceiverReport));
  appendBE16(out, withBlock ? 7 : 1);
  appendBE32(out, ownSsrc);
  if (withBlock) {
    // RFC 3550 A.3.
    const std::uint64_t extendedMax = static_cast<std::uint64_t>(cycles_) + maxSeq_;
    const std::uint64_t expected = extendedMax - baseSeq_ + 1;
    const std::int64_t lost = std::min<std::int64_t>(
        std::max<std::int64_t>(
            static_cast<std::int64_t>(expected) - static_cast<std::int64_t>(received_), -0x800000),
        0x7FFFFF);
    const std::int64_t expectedInterval = static_cast<std::int64_t>(expected - expectedPrior_);
    const std::int64_t receivedInterval = static_cast<std::int64_t>(received_ - receivedPrior_);
    expectedPrior_ = expected;
    receivedPrior_ = received_;
    const std::int64_t lostInterval = expectedInterval - receivedInterval;
    const std::uint32_t fraction =
        expectedInterval <= 0 || lostInterval <= 0
            ? 0
            : static_cast<std::uint32_t>((lostInterval << 8) / expectedInterval);
    std::uint32_t delay = 0;
    if (hasSenderReport_) {
      const std::int64_t since = std::max<std::int64_t>((now - senderReportArrival_).count(), 0);
      delay = static_cast<std::uint32_t>(
          std::min<std::int64_t>(since * 65536 / 1000000, INT64_C(0xFFFFFFFF)));
    }
    appendBE32(out, sourceSsrc_);
    appendBE32(out, std::min<std::uint32_t>(fraction, 255) << 24 |
                        (static_cast<std::uint32_t>(lost) & 0xFFFFFF));
    appendBE32(out, static_cast<std::uint32_t>(extendedMax));
    appendBE32(out, static_cast<std::uint32_t>(jitter_));
    appendBE32(out, hasSenderReport_ ? lastSenderReport_ : 0);
    appendBE32(out, delay);
  }

  // SDES with one chunk: own SSRC, CNAME, and one to four zero bytes that end
  // the item list and pad the chunk to 32 bits.
  const std::string name = cname.substr(0, 255);
  const std::size_t chunk = 4 + 2 + name.size();
  const std::size_t padded = (chunk / 4 + 1) * 4;
  out.push_back(static_cast<char>(0x81));
  out.push_back(static_cast<char>(kSourceDescription));
  appendBE16(out, static_cast<std::uint32_t>((4 + padded) / 4 - 1));
  appendBE32(out, ownSsrc);
  out.push_back(static_cast<char>(kCname));
  out.push_back(static_cast<char>(name.size()));
  out += name;
  out.append(padded - chunk, '\0');
  return out;
}

void forEachSenderReport(const std::uint8_t* data, std::size_t size,
                         const std::function<bool(const SenderReport&)>& visit) {
  std::size_t pos = 0;
  while (pos + 4 <= size) {
    const std::uint8_t* p = data + pos;
    if (p[0] >> 6 != 2) return;
    const std::size_t length = (static_cast<std::size_t>(p[2] << 8 | p[3]) + 1) * 4;
    if (length > size - pos) return;
    // Header, sender SSRC, NTP time (8 bytes), RTP timestamp, packet and
    // octet counts.
    if (p[1] == kRtcpSenderReport && length >= 28) {
      SenderReport report;
      report.ssrc = readBE32(p + 4);
      report.ntpTime = static_cast<std::uint64_t>(readBE32(p + 8)) << 32 | readBE32(p + 12);
      report.rtpTime = readBE32(p + 16);
      report.packetCount = readBE32(p + 20);
      report.octetCount = readBE32(p + 24);
      if (!visit(report)) return;
    }
    pos += length;
  }
}

bool findSenderReport(const std::uint8_t* data, std::size_t size, SenderReport& report) {
  bool found = false;
  forEachSenderReport(data, size, [&](const SenderReport& first) {
    report = first;
    found = true;
    return false;
  });
  return found;
}

std::uint64_t ntpTimeOf(const SenderReport& report, std::uint32_t rtpTime,
                        std::uint32_t clockRate) {
  // The signed distance in ticks, then in 2^-32 s: at most 2^31 ticks of at
  // least 1 Hz, which needs more than 64 bits on the way.
  const std::int64_t ticks = static_cast<std::int32_t>(rtpTime - report.rtpTime);
  __extension__ typedef __int128 Wide;
  const Wide offset = static_cast<Wide>(ticks) * (INT64_C(1) << 32) / clockRate;
  return report.ntpTime + static_cast<std::uint64_t>(static_cast<std::int64_t>(offset));
}
