#include "h264_depacketizer.h"

namespace rtsp_pull {

namespace {

constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;
// Bound on a reassembled NAL unit, so that a run without an end fragment
// cannot grow without limit.
constexpr size_t kMaxNalSize = 16 * 1024 * 1024;

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t read32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

bool isRtcp(const uint8_t* data, size_t size) {
  return size >= 2 && (data[0] >> 6) == 2 && data[1] >= 192 && data[1] <= 223;
}

bool parseRtp(const uint8_t* data, size_t size, RtpPacket& packet) {
  if (size < 12 || (data[0] >> 6) != 2) return false;
  const size_t csrcCount = data[0] & 0x0F;
  size_t header = 12 + 4 * csrcCount;
  if (size < header) return false;
  if ((data[0] & 0x10) != 0) {  // header extension: 4-byte head, then 32-bit words
    if (size < header + 4) return false;
    header += 4 + 4 * static_cast<size_t>(read16(data + header + 2));
    if (size < header) return false;
  }
  size_t end = size;
  if ((data[0] & 0x20) != 0) {  // padding: its count is the last byte
    const size_t padding = data[size - 1];
    if (padding == 0 || padding > size - header) return false;
    end -= padding;
  }
  packet.marker = (data[1] & 0x80) != 0;
  packet.payloadType = data[1] & 0x7F;
  packet.sequence = read16(data + 2);
  packet.timestamp = read32(data + 4);
  packet.ssrc = read32(data + 8);
  packet.payload = data + header;
  packet.payloadSize = end - header;
  return true;
}

H264Depacketizer::H264Depacketizer(NalSink& sink) : sink_(sink) {}

void H264Depacketizer::push(const uint8_t* data, size_t size) {
  RtpPacket packet;
  if (!parseRtp(data, size, packet)) {
    ++counters_.malformed;
    return;
  }
  ++counters_.packets;

  bool discontinuity = false;
  if (!haveSequence_ || packet.ssrc != ssrc_) {
    // First packet, or a new source: nothing to compare with.
    discontinuity = haveSequence_;
    haveSequence_ = true;
    ssrc_ = packet.ssrc;
  } else if (packet.sequence != expectedSequence_) {
    const uint16_t gap = static_cast<uint16_t>(packet.sequence - expectedSequence_);
    if (gap >= 0x8000) {  // behind the expected one: late or repeated
      ++counters_.late;
      return;
    }
    counters_.lost += gap;
    discontinuity = true;
  }
  expectedSequence_ = static_cast<uint16_t>(packet.sequence + 1);

  if (auOpen_ && packet.timestamp != auTimestamp_) {
    sink_.onAccessUnitEnd();
    auOpen_ = false;
  }
  if (inFragment_ && (discontinuity || packet.timestamp != auTimestamp_)) dropFragment();
  auTimestamp_ = packet.timestamp;

  if (packet.payloadSize == 0) {
    ++counters_.malformed;
  } else {
    const uint8_t type = packet.payload[0] & 0x1F;
    if (type == kFuA) {
      handleFuA(packet.payload, packet.payloadSize);
    } else {
      if (inFragment_) dropFragment();  // the end fragment never came
      skippingFragment_ = false;
      if (type >= 1 && type <= 23) {
        emit(packet.payload, packet.payloadSize);
      } else if (type == kStapA) {
        handleStapA(packet.payload, packet.payloadSize);
      } else {
        ++counters_.unsupported;
      }
    }
  }

  if (packet.marker && auOpen_) {
    sink_.onAccessUnitEnd();
    auOpen_ = false;
  }
}

void H264Depacketizer::handleStapA(const uint8_t* payload, size_t size) {
  // Check every length field first, so that a damaged packet is dropped
  // whole rather than written half.
  size_t pos = 1;
  size_t units = 0;
  while (pos < size) {
    if (size - pos < 2) break;
    const size_t nalSize = read16(payload + pos);
    if (nalSize == 0 || nalSize > size - pos - 2) break;
    pos += 2 + nalSize;
    ++units;
  }
  if (pos != size || units == 0) {
    ++counters_.malformed;
    return;
  }
  pos = 1;
  while (pos < size) {
    const size_t nalSize = read16(payload + pos);
    emit(payload + pos + 2, nalSize);
    pos += 2 + nalSize;
  }
}

void H264Depacketizer::handleFuA(const uint8_t* payload, size_t size) {
  if (size < 2) {
    ++counters_.malformed;
    return;
  }
  const bool start = (payload[1] & 0x80) != 0;
  const bool end = (payload[1] & 0x40) != 0;
  if (start) {
    if (inFragment_) dropFragment();  // a new start before the old end
    skippingFragment_ = false;
    fragment_.clear();
    // NAL header: F and NRI from the FU indicator, type from the FU header.
    fragment_.push_back(static_cast<uint8_t>((payload[0] & 0xE0) | (payload[1] & 0x1F)));
    inFragment_ = true;
  } else if (!inFragment_) {
    // A middle or end fragment whose start was lost or already dropped.
    if (!skippingFragment_) ++counters_.droppedFragments;
    skippingFragment_ = true;
    return;
  }
  if (fragment_.size() + (size - 2) > kMaxNalSize) {
    dropFragment();
    return;
  }
  fragment_.insert(fragment_.end(), payload + 2, payload + size);
  if (end) {
    inFragment_ = false;
    emit(fragment_.data(), fragment_.size());
  }
}

void H264Depacketizer::emit(const uint8_t* nal, size_t size) {
  auOpen_ = true;
  sink_.onNal(nal, size);
}

void H264Depacketizer::dropFragment() {
  inFragment_ = false;
  fragment_.clear();
  ++counters_.droppedFragments;
  skippingFragment_ = true;
}

}  // namespace rtsp_pull
