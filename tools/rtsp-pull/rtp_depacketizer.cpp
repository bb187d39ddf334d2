#include "rtp_depacketizer.h"

namespace rtsp_pull {

namespace {

// Bound on a reassembled NAL unit, so that a run without an end fragment
// cannot grow without limit.
constexpr size_t kMaxNalSize = 16 * 1024 * 1024;
// Capacity of the unit buffer kept from one fragmented unit to the next.
constexpr size_t kKeptFragmentBytes = 16 * 1024;
// A sequence step of up to this many packets ahead is loss; a step back of
// up to kMaxMisorder a late packet (RFC 3550 A.1). Anything else is a
// restart or a stray packet.
constexpr uint16_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;

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

void RtpDepacketizer::push(const uint8_t* data, size_t size) {
  RtpPacket packet;
  if (!parseRtp(data, size, packet)) {
    ++counters_.malformed;
    return;
  }

  if (!held_.empty()) {
    std::vector<uint8_t> held;
    held.swap(held_);
    RtpPacket first;
    parseRtp(held.data(), held.size(), first);  // parsed once already
    if (packet.ssrc == ssrc_ && packet.sequence == static_cast<uint16_t>(first.sequence + 1)) {
      restart();
      process(first, true);
      process(packet, false);
      expectedSequence_ = static_cast<uint16_t>(packet.sequence + 1);
      return;
    }
    ++counters_.late;  // a stray packet
  }

  bool discontinuity = false;
  if (!haveSequence_ || packet.ssrc != ssrc_) {
    // First packet, or a new source: nothing to compare with.
    if (haveSequence_) restart();
    discontinuity = haveSequence_;
    haveSequence_ = true;
    ssrc_ = packet.ssrc;
  } else if (packet.sequence != expectedSequence_) {
    const uint16_t gap = static_cast<uint16_t>(packet.sequence - expectedSequence_);
    if (gap >= 0x10000 - kMaxMisorder) {  // a little behind the expected one: late or repeated
      ++counters_.late;
      return;
    }
    if (gap > kMaxDropout) {  // too far for a loss: the next packet decides
      held_.assign(data, data + size);
      return;
    }
    counters_.lost += gap;
    discontinuity = true;
  }
  expectedSequence_ = static_cast<uint16_t>(packet.sequence + 1);
  process(packet, discontinuity);
}

void RtpDepacketizer::process(const RtpPacket& packet, bool discontinuity) {
  const bool newTime = packet.timestamp != auTimestamp_;
  if (state_ == Fragment::kAssembling && (discontinuity || newTime)) {
    // Without a loss, a new picture ends a run whose end bit never came.
    if (discontinuity) {
      dropFragment();
    } else {
      completeFragment();
    }
  }
  if (auPicture_ && newTime) endAccessUnit();
  auTimestamp_ = packet.timestamp;

  if (packet.payloadSize == 0) {
    ++counters_.malformed;
  } else {
    handlePayload(packet.payload, packet.payloadSize);
  }

  if (packet.marker) {
    sawMarker_ = true;
    if (state_ == Fragment::kAssembling) completeFragment();
    if (auPicture_) endAccessUnit();
  }
}

void RtpDepacketizer::finish() {
  if (!sawMarker_ && state_ != Fragment::kAssembling && auPicture_) endAccessUnit();
}

void RtpDepacketizer::restart() {
  if (state_ == Fragment::kAssembling) dropFragment();
  state_ = Fragment::kIdle;
  if (auPicture_) endAccessUnit();
  ++counters_.restarts;
  sink_.onRestart();
}

void RtpDepacketizer::emitAggregated(const uint8_t* payload, size_t pos, size_t size) {
  // Check every length field first, so that a damaged packet is dropped
  // whole rather than written half.
  const size_t first = pos;
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
  pos = first;
  while (pos < size) {
    const size_t nalSize = read16(payload + pos);
    emit(payload + pos + 2, nalSize);
    pos += 2 + nalSize;
  }
}

void RtpDepacketizer::fragment(bool start, bool end, const uint8_t* header, size_t headerSize,
                               const uint8_t* body, size_t bodySize) {
  if (start) {
    if (state_ == Fragment::kAssembling) dropFragment();  // a new start before the old end
    fragment_.assign(header, header + headerSize);
    fragmentHeader_ = headerSize;
    state_ = Fragment::kAssembling;
  } else if (state_ != Fragment::kAssembling) {
    // A middle or end fragment whose start was lost or already dropped.
    if (state_ == Fragment::kIdle) ++counters_.droppedFragments;
    state_ = Fragment::kDropping;
    return;
  }
  if (fragment_.size() + bodySize > kMaxNalSize) {
    dropFragment();
    return;
  }
  fragment_.insert(fragment_.end(), body, body + bodySize);
  if (end) completeFragment();
}

void RtpDepacketizer::completeFragment() {
  state_ = Fragment::kIdle;
  if (fragment_.size() > fragmentHeader_) {
    emit(fragment_.data(), fragment_.size());
  } else {
    ++counters_.malformed;  // empty fragments: a header and nothing else
  }
  // A large unit (a keyframe's) is not held until the next one comes: a
  // process with many streams would otherwise keep each one's largest unit.
  if (fragment_.capacity() > kKeptFragmentBytes) {
    std::vector<uint8_t>().swap(fragment_);
  } else {
    fragment_.clear();
  }
}

void RtpDepacketizer::noFragment() {
  if (state_ == Fragment::kAssembling) dropFragment();  // the end fragment never came
  state_ = Fragment::kIdle;
}

void RtpDepacketizer::emit(const uint8_t* nal, size_t size) {
  const UnitRole role = roleOf(nal, size);
  if (auPicture_ && role == UnitRole::kPrefix) endAccessUnit();
  if (role == UnitRole::kPicture || role == UnitRole::kKeyframe) auPicture_ = true;
  if (role == UnitRole::kKeyframe) auKeyframe_ = true;
  sink_.onNal(nal, size);
}

void RtpDepacketizer::endAccessUnit() {
  sink_.onAccessUnitInfo(auTimestamp_, auKeyframe_);
  sink_.onAccessUnitEnd();
  auKeyframe_ = false;
  auPicture_ = false;
}

void RtpDepacketizer::dropFragment() {
  fragment_.clear();
  ++counters_.droppedFragments;
  state_ = Fragment::kDropping;
}

}  // namespace rtsp_pull
