#include "audio_depacketizer.h"

namespace rtsp_pull {

namespace {

// Bound on a frame put together from fragments.
constexpr size_t kMaxFrameBytes = 1u << 20;

// Reads `count` bits at bit `pos` of `data` (the caller checked the length).
uint32_t bitsAt(const uint8_t* data, size_t pos, unsigned count) {
  uint32_t value = 0;
  for (unsigned i = 0; i < count; ++i, ++pos)
    value = (value << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1u);
  return value;
}

}  // namespace

uint32_t opusPacketTicks(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t config = data[0] >> 3;
  // Frame sizes in 48 kHz ticks: SILK 10/20/40/60 ms, hybrid 10/20 ms, CELT 2.5/5/10/20 ms.
  uint32_t frame;
  if (config < 12) {
    static const uint32_t kSilk[4] = {480, 960, 1920, 2880};
    frame = kSilk[config % 4];
  } else if (config < 16) {
    frame = config % 2 == 0 ? 480 : 960;
  } else {
    static const uint32_t kCelt[4] = {120, 240, 480, 960};
    frame = kCelt[config % 4];
  }
  uint32_t frames;
  switch (data[0] & 3) {
    case 0:
      frames = 1;
      break;
    case 1:
    case 2:
      frames = 2;
      break;
    default:
      if (size < 2) return 0;
      frames = data[1] & 0x3F;
      break;
  }
  const uint32_t ticks = frames * frame;
  return ticks <= 5760 ? ticks : 0;
}

AudioDepacketizer::AudioDepacketizer(const AudioFormat& format, AudioSink& sink)
    : format_(format), sink_(sink) {}

void AudioDepacketizer::push(const uint8_t* data, size_t size) {
  RtpPacket packet;
  if (!parseRtp(data, size, packet)) {
    ++counters_.malformed;
    return;
  }
  bool discontinuity = false;
  if (!haveSequence_ || packet.ssrc != ssrc_) {
    discontinuity = haveSequence_;
    haveSequence_ = true;
    ssrc_ = packet.ssrc;
  } else if (packet.sequence != expectedSequence_) {
    const auto gap = static_cast<uint16_t>(packet.sequence - expectedSequence_);
    if (gap >= 0x8000) {
      ++counters_.late;
      return;
    }
    counters_.lost += gap;
    discontinuity = true;
  }
  expectedSequence_ = static_cast<uint16_t>(packet.sequence + 1);
  if (discontinuity) {
    // What was lost may have been the start of the next fragmented frame.
    if (state_ == Assembly::kAssembling) ++counters_.droppedFragments;
    pending_.clear();
    state_ = Assembly::kDropping;
  } else if (state_ == Assembly::kAssembling && packet.timestamp != pendingTimestamp_) {
    drop();  // the end of the frame never came
    state_ = Assembly::kIdle;
  }
  if (packet.payloadSize == 0) {
    ++counters_.malformed;
    return;
  }
  switch (format_.codec) {
    case AudioCodec::kAac:
      aac(packet);
      break;
    case AudioCodec::kLatm:
      latm(packet);
      break;
    case AudioCodec::kOpus: {
      const uint32_t ticks = opusPacketTicks(packet.payload, packet.payloadSize);
      if (ticks == 0) {
        ++counters_.malformed;
      } else {
        emit(packet.timestamp, ticks, packet.payload, packet.payloadSize);
      }
      break;
    }
    case AudioCodec::kPcmu:
    case AudioCodec::kPcma:
      emit(packet.timestamp, static_cast<uint32_t>(packet.payloadSize / format_.channels),
           packet.payload, packet.payloadSize);
      break;
  }
}

void AudioDepacketizer::drop() {
  pending_.clear();
  ++counters_.droppedFragments;
  state_ = Assembly::kDropping;
}

// RFC 3640 3.2: a 16-bit length in bits of the AU headers, the headers (the
// AU size, then the AU index for the first and index deltas for the others),
// padding to a byte, then the AUs one after another. An AU larger than what
// follows its single header is a fragment; the rest comes in the next
// packets of the same timestamp, the marker on the last.
void AudioDepacketizer::aac(const RtpPacket& packet) {
  const uint8_t* p = packet.payload;
  const size_t size = packet.payloadSize;
  if (size < 2) {
    ++counters_.malformed;
    return;
  }
  const size_t headerBits = static_cast<size_t>(p[0]) << 8 | p[1];
  const size_t headerBytes = (headerBits + 7) / 8;
  const uint32_t firstBits = format_.sizeLength + format_.indexLength;
  const uint32_t nextBits = format_.sizeLength + format_.indexDeltaLength;
  if (headerBits < firstBits || size - 2 < headerBytes ||
      (headerBits - firstBits) % nextBits != 0) {
    ++counters_.malformed;
    return;
  }
  const uint8_t* headers = p + 2;
  const uint8_t* body = headers + headerBytes;
  const size_t bodySize = size - 2 - headerBytes;
  const size_t count = 1 + (headerBits - firstBits) / nextBits;

  // Check every header first: a damaged packet is dropped whole.
  size_t pos = 0, total = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t auSize = bitsAt(headers, pos, format_.sizeLength);
    const uint32_t index = bitsAt(headers, pos + format_.sizeLength,
                                  i == 0 ? format_.indexLength : format_.indexDeltaLength);
    if (index != 0) {  // interleaved: the stream was refused for it, so the packet is damaged
      ++counters_.malformed;
      return;
    }
    pos += i == 0 ? firstBits : nextBits;
    total += auSize;
  }
  const uint32_t firstSize = bitsAt(headers, 0, format_.sizeLength);
  if (count == 1 && firstSize > bodySize) {
    // A fragment of one AU.
    if (state_ == Assembly::kDropping) {
      if (packet.marker) state_ = Assembly::kIdle;
      return;
    }
    if (state_ == Assembly::kIdle) {
      pending_.clear();
      pendingTimestamp_ = packet.timestamp;
      pendingSize_ = firstSize;
      state_ = Assembly::kAssembling;
    } else if (pendingSize_ != firstSize) {
      drop();
      return;
    }
    if (pending_.size() + bodySize > pendingSize_ || pending_.size() + bodySize > kMaxFrameBytes) {
      drop();
      return;
    }
    pending_.insert(pending_.end(), body, body + bodySize);
    if (pending_.size() == pendingSize_) {
      state_ = Assembly::kIdle;
      emit(pendingTimestamp_, format_.frameTicks, pending_.data(), pending_.size());
    } else if (packet.marker) {
      drop();  // the last fragment, and still short
      state_ = Assembly::kIdle;
    }
    return;
  }
  // Whole AUs: a fragment run in progress ends here.
  if (state_ == Assembly::kAssembling) drop();
  state_ = Assembly::kIdle;
  if (total != bodySize) {
    ++counters_.malformed;
    return;
  }
  pos = 0;
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t auSize = bitsAt(headers, pos, format_.sizeLength);
    pos += i == 0 ? firstBits : nextBits;
    if (auSize > 0)
      emit(packet.timestamp + static_cast<uint32_t>(i) * format_.frameTicks, format_.frameTicks,
           body + at, auSize);
    at += auSize;
  }
}

// RFC 6416: one or more AudioMuxElements, each its subframes as a length
// (bytes of 255 and a last byte under 255, summed) and that many bytes; an
// element may be spread over packets of one timestamp, the marker on the last.
void AudioDepacketizer::latm(const RtpPacket& packet) {
  if (state_ == Assembly::kDropping) {
    if (packet.marker) state_ = Assembly::kIdle;
    return;
  }
  if (state_ == Assembly::kIdle && packet.marker) {
    emitLatm(packet.timestamp, packet.payload, packet.payloadSize);
    return;
  }
  if (state_ == Assembly::kIdle) {
    pending_.clear();
    pendingTimestamp_ = packet.timestamp;
    state_ = Assembly::kAssembling;
  }
  if (pending_.size() + packet.payloadSize > kMaxFrameBytes) {
    drop();
    return;
  }
  pending_.insert(pending_.end(), packet.payload, packet.payload + packet.payloadSize);
  if (packet.marker) {
    state_ = Assembly::kIdle;
    emitLatm(pendingTimestamp_, pending_.data(), pending_.size());
  }
}

void AudioDepacketizer::emitLatm(uint32_t timestamp, const uint8_t* data, size_t size) {
  // Check the lengths first, so that a damaged element is dropped whole.
  for (int pass = 0; pass < 2; ++pass) {
    size_t pos = 0;
    uint32_t frame = 0;
    while (pos < size) {
      for (uint32_t s = 0; s < format_.subframes; ++s) {
        size_t length = 0;
        uint8_t byte;
        do {
          if (pos >= size) {
            ++counters_.malformed;
            return;
          }
          byte = data[pos++];
          length += byte;
        } while (byte == 255);
        if (length > size - pos) {
          ++counters_.malformed;
          return;
        }
        if (pass == 1 && length > 0)
          emit(timestamp + frame * format_.frameTicks, format_.frameTicks, data + pos, length);
        ++frame;
        pos += length;
      }
    }
  }
}

}  // namespace rtsp_pull
