#include "h265_depacketizer.h"

#include <cstdlib>

namespace rtsp_pull {

namespace {

constexpr uint8_t kAggregation = 48;
constexpr uint8_t kFragmentation = 49;
constexpr size_t kPayloadHeader = 2;

uint8_t typeOf(const uint8_t* header) { return static_cast<uint8_t>((header[0] >> 1) & 0x3F); }

}  // namespace

bool H265Depacketizer::supportsFormat(const std::string& fmtp, std::string& error) {
  const std::string name = "sprop-max-don-diff";
  size_t at = 0;
  while ((at = fmtp.find(name, at)) != std::string::npos) {
    const bool startOfName = at == 0 || fmtp[at - 1] == ';' || fmtp[at - 1] == ' ';
    size_t pos = at + name.size();
    at = pos;
    if (!startOfName) continue;
    while (pos < fmtp.size() && fmtp[pos] == ' ') ++pos;
    if (pos >= fmtp.size() || fmtp[pos] != '=') continue;
    const long value = std::strtol(fmtp.c_str() + pos + 1, nullptr, 10);
    if (value != 0) {
      error = "the H.265 stream announces sprop-max-don-diff=" + std::to_string(value) +
              " (decoding order numbers), which cannot be recorded";
      return false;
    }
  }
  return true;
}

void H265Depacketizer::handlePayload(const uint8_t* payload, size_t size) {
  if (size < kPayloadHeader) {
    noFragment();
    ++counters_.malformed;
    return;
  }
  const uint8_t type = typeOf(payload);
  if (type == kFragmentation) {
    if (size < kPayloadHeader + 1) {
      ++counters_.malformed;
      return;
    }
    const uint8_t fu = payload[2];
    // NAL header: F, layer and temporal id from the payload header, the type
    // from the FU header.
    const uint8_t header[2] = {static_cast<uint8_t>((payload[0] & 0x81) | ((fu & 0x3F) << 1)),
                               payload[1]};
    fragment((fu & 0x80) != 0, (fu & 0x40) != 0, header, 2, payload + 3, size - 3);
    return;
  }
  noFragment();
  if (type < kAggregation) {
    emit(payload, size);
  } else if (type == kAggregation) {
    emitAggregated(payload, kPayloadHeader, size);
  } else {
    ++counters_.unsupported;
  }
}

RtpDepacketizer::UnitRole H265Depacketizer::roleOf(const uint8_t* nal, size_t size) const {
  if (size < 1) return UnitRole::kOther;
  const uint8_t type = typeOf(nal);
  if (type >= 16 && type <= 21) return UnitRole::kKeyframe;  // IRAP pictures
  if (type <= 31) return UnitRole::kPicture;
  // Parameter sets, SEI, delimiters: after a picture, the next access unit.
  if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44))
    return UnitRole::kPrefix;
  return UnitRole::kOther;
}

}  // namespace rtsp_pull
