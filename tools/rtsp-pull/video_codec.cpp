#include "video_codec.h"

#include <utility>
#include <vector>

namespace rtsp_pull {

namespace {

// Reads bits of an RBSP, most significant first. Past the end every read
// fails and stays failed, so a parser checks once at the end.
class BitReader {
 public:
  explicit BitReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  uint32_t bits(unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
      if (pos_ >= bytes_.size() * 8) {
        ok_ = false;
        return 0;
      }
      value = (value << 1) | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
      ++pos_;
    }
    return value;
  }
  bool flag() { return bits(1) != 0; }
  void skip(size_t count) {
    if (count > bytes_.size() * 8 - pos_) ok_ = false;
    pos_ = ok_ ? pos_ + count : bytes_.size() * 8;
  }
  // Exp-Golomb, unsigned; values above 2^31 - 2 count as damage.
  uint32_t ue() {
    unsigned zeros = 0;
    while (ok_ && bits(1) == 0) {
      if (++zeros > 31) {
        ok_ = false;
        return 0;
      }
    }
    if (!ok_) return 0;
    return ((1u << zeros) - 1) + bits(zeros);
  }
  int32_t se() {
    const uint32_t v = ue();
    return (v & 1) != 0 ? static_cast<int32_t>((v + 1) / 2) : -static_cast<int32_t>(v / 2);
  }
  bool ok() const { return ok_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// The RBSP of a NAL unit: its bytes after the header, emulation prevention
// bytes (the 03 of 00 00 03) removed.
std::vector<uint8_t> rbsp(const std::string& nal, size_t headerSize) {
  std::vector<uint8_t> out;
  out.reserve(nal.size());
  int zeros = 0;
  for (size_t i = headerSize; i < nal.size(); ++i) {
    const auto byte = static_cast<uint8_t>(nal[i]);
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    out.push_back(byte);
  }
  return out;
}

void skipScalingList(BitReader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && r.ok(); ++j) {
    if (next != 0) next = (last + r.se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

bool parseH264Sps(const std::string& sps, SpsInfo& info) {
  BitReader r(rbsp(sps, 1));
  const uint32_t profile = r.bits(8);
  r.skip(16);  // constraint flags, level
  r.ue();      // seq_parameter_set_id
  uint32_t chroma = 1;
  bool separatePlanes = false;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135) {
    chroma = r.ue();
    if (chroma > 3) return false;
    if (chroma == 3) separatePlanes = r.flag();
    info.bitDepthLuma = r.ue() + 8;
    info.bitDepthChroma = r.ue() + 8;
    r.skip(1);  // qpprime_y_zero_transform_bypass_flag
    if (r.flag()) {
      for (int i = 0; i < (chroma != 3 ? 8 : 12) && r.ok(); ++i) {
        if (r.flag()) skipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  info.chromaFormat = chroma;
  r.ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = r.ue();
  if (pocType == 0) {
    r.ue();
  } else if (pocType == 1) {
    r.skip(1);
    r.se();
    r.se();
    const uint32_t cycle = r.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && r.ok(); ++i) r.se();
  }
  r.ue();     // max_num_ref_frames
  r.skip(1);  // gaps_in_frame_num_value_allowed_flag
  const uint32_t widthMbs = r.ue() + 1;
  const uint32_t heightMapUnits = r.ue() + 1;
  const bool frameMbsOnly = r.flag();
  if (!frameMbsOnly) r.skip(1);
  r.skip(1);  // direct_8x8_inference_flag
  uint32_t crop[4] = {0, 0, 0, 0};
  if (r.flag()) {
    for (uint32_t& c : crop) c = r.ue();
  }
  if (!r.ok() || widthMbs > 1024 || heightMapUnits > 1024) return false;
  const uint32_t arrayType = separatePlanes ? 0 : chroma;
  const uint32_t cropX = arrayType == 0 ? 1 : (arrayType == 3 ? 1 : 2);
  const uint32_t cropY = (arrayType == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
  const uint64_t width = widthMbs * 16ull;
  const uint64_t height = heightMapUnits * 16ull * (frameMbsOnly ? 1 : 2);
  const uint64_t cropW = static_cast<uint64_t>(crop[0] + crop[1]) * cropX;
  const uint64_t cropH = static_cast<uint64_t>(crop[2] + crop[3]) * cropY;
  if (cropW >= width || cropH >= height) return false;
  info.width = static_cast<uint32_t>(width - cropW);
  info.height = static_cast<uint32_t>(height - cropH);
  return true;
}

bool parseH265Sps(const std::string& sps, SpsInfo& info) {
  BitReader r(rbsp(sps, 2));
  r.skip(4);  // sps_video_parameter_set_id
  const uint32_t maxSubLayersMinus1 = r.bits(3);
  info.maxSubLayers = static_cast<uint8_t>(maxSubLayersMinus1 + 1);
  info.temporalIdNested = r.flag();
  // general_profile_tier_level: 12 bytes, byte aligned here (after 2 + 1 bytes).
  for (uint8_t& byte : info.generalProfile) byte = static_cast<uint8_t>(r.bits(8));
  bool profilePresent[8] = {}, levelPresent[8] = {};
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = r.flag();
    levelPresent[i] = r.flag();
  }
  if (maxSubLayersMinus1 > 0) r.skip(2 * (8 - maxSubLayersMinus1));
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) r.skip(88);
    if (levelPresent[i]) r.skip(8);
  }
  r.ue();  // sps_seq_parameter_set_id
  const uint32_t chroma = r.ue();
  if (chroma > 3) return false;
  bool separatePlanes = false;
  if (chroma == 3) separatePlanes = r.flag();
  const uint32_t width = r.ue();
  const uint32_t height = r.ue();
  uint32_t window[4] = {0, 0, 0, 0};
  if (r.flag()) {
    for (uint32_t& w : window) w = r.ue();
  }
  info.chromaFormat = chroma;
  info.bitDepthLuma = r.ue() + 8;
  info.bitDepthChroma = r.ue() + 8;
  if (!r.ok() || width == 0 || height == 0 || width > 16888 || height > 16888) return false;
  const uint32_t arrayType = separatePlanes ? 0 : chroma;
  const uint64_t unitX = (arrayType == 1 || arrayType == 2) ? 2 : 1;
  const uint64_t unitY = arrayType == 1 ? 2 : 1;
  const uint64_t cropW = (static_cast<uint64_t>(window[0]) + window[1]) * unitX;
  const uint64_t cropH = (static_cast<uint64_t>(window[2]) + window[3]) * unitY;
  if (cropW >= width || cropH >= height) return false;
  info.width = static_cast<uint32_t>(width - cropW);
  info.height = static_cast<uint32_t>(height - cropH);
  return true;
}

}  // namespace

bool parseSps(VideoCodec codec, const std::string& sps, SpsInfo& info) {
  const size_t header = codec == VideoCodec::kH264 ? 1 : 2;
  if (sps.size() <= header) return false;
  return codec == VideoCodec::kH264 ? parseH264Sps(sps, info) : parseH265Sps(sps, info);
}

}  // namespace rtsp_pull
