#include "h264_depacketizer.h"

namespace rtsp_pull {

namespace {

constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;
constexpr uint8_t kNalIdr = 5;

}  // namespace

void H264Depacketizer::handlePayload(const uint8_t* payload, size_t size) {
  const uint8_t type = payload[0] & 0x1F;
  if (type == kFuA) {
    if (size < 2) {
      ++counters_.malformed;
      return;
    }
    // NAL header: F and NRI from the FU indicator, type from the FU header.
    const uint8_t header = static_cast<uint8_t>((payload[0] & 0xE0) | (payload[1] & 0x1F));
    fragment((payload[1] & 0x80) != 0, (payload[1] & 0x40) != 0, &header, 1, payload + 2, size - 2);
    return;
  }
  noFragment();
  if (type >= 1 && type <= 23) {
    emit(payload, size);
  } else if (type == kStapA) {
    emitAggregated(payload, 1, size);
  } else {
    ++counters_.unsupported;
  }
}

RtpDepacketizer::UnitRole H264Depacketizer::roleOf(const uint8_t* nal, size_t /*size*/) const {
  const uint8_t type = nal[0] & 0x1F;
  if (type == kNalIdr) return UnitRole::kKeyframe;
  if (type >= 1 && type <= 5) return UnitRole::kPicture;
  // Parameter sets, SEI, delimiters and types 14-18: after a picture, the next access unit.
  if ((type >= 6 && type <= 9) || (type >= 14 && type <= 18)) return UnitRole::kPrefix;
  return UnitRole::kOther;
}

}  // namespace rtsp_pull
