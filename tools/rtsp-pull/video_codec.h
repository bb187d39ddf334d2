// What the recorder needs to know of H.264 and H.265 NAL units: their types,
// which of them are pictures, keyframes and parameter sets, and the few
// fields of a sequence parameter set that a container names (size, profile,
// level, chroma format, bit depth).
#ifndef RTSP_PULL_VIDEO_CODEC_H_
#define RTSP_PULL_VIDEO_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtsp_pull {

enum class VideoCodec { kH264, kH265 };

// Parameter sets in the order a stream must carry them: H.265 has all three,
// H.264 has no VPS.
enum ParameterSet { kVps = 0, kSps = 1, kPps = 2, kParameterSetKinds = 3 };

// The NAL unit type (H.264: 5 bits, H.265: 6 bits); `nal` holds at least
// one byte. These four are inline so that a writer needs no other source.
inline uint8_t nalType(VideoCodec codec, const uint8_t* nal) {
  return codec == VideoCodec::kH264 ? static_cast<uint8_t>(nal[0] & 0x1F)
                                    : static_cast<uint8_t>((nal[0] >> 1) & 0x3F);
}

// A coded slice of a picture (H.264 types 1-5, H.265 VCL types 0-31).
inline bool isPicture(VideoCodec codec, uint8_t type) {
  return codec == VideoCodec::kH264 ? (type >= 1 && type <= 5) : type <= 31;
}

// A picture a decoder can start at: H.264 IDR, H.265 IRAP (BLA, IDR, CRA).
inline bool isKeyframe(VideoCodec codec, uint8_t type) {
  return codec == VideoCodec::kH264 ? type == 5 : (type >= 16 && type <= 21);
}

// Which parameter set the type is, or -1.
inline int parameterSetKind(VideoCodec codec, uint8_t type) {
  if (codec == VideoCodec::kH264) return type == 7 ? kSps : type == 8 ? kPps : -1;
  return type == 32 ? kVps : type == 33 ? kSps : type == 34 ? kPps : -1;
}

// One access unit as the recorder passes it on: its NAL units (headers
// included, no start codes), its RTP timestamp, and whether it holds a
// keyframe picture.
struct AccessUnit {
  uint32_t timestamp = 0;
  bool keyframe = false;
  std::vector<std::string> nals;
};

struct SpsInfo {
  uint32_t width = 0, height = 0;  // in pixels, cropping applied
  uint32_t chromaFormat = 1;       // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  uint32_t bitDepthLuma = 8, bitDepthChroma = 8;
  // H.265: the 12 bytes of general_profile_tier_level (profile space, tier,
  // profile, compatibility flags, constraint flags, level), as hvcC wants them.
  uint8_t generalProfile[12] = {};
  uint8_t maxSubLayers = 1;
  bool temporalIdNested = false;
};

// Reads a sequence parameter set (NAL header included, emulation prevention
// bytes in place). False when it is too short or inconsistent; reads only
// inside the bytes given.
bool parseSps(VideoCodec codec, const std::string& sps, SpsInfo& info);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_VIDEO_CODEC_H_
