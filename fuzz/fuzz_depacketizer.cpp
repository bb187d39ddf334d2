// Fuzz targets: the rtsp-pull tool's H.264 depacketizer (fuzz_h264_depacketizer)
// and, built with FUZZ_H265, its H.265 one (fuzz_h265_depacketizer). Input,
// repeated: a big-endian 2-byte length, the packet bytes. Checks: NAL units
// are non-empty and within 16 MiB (H.265: plus the rebuilt 2-byte header);
// H.265 access units end only after they began.
#include <cstdint>
#include <utility>

#include "h264_depacketizer.h"
#include "h265_depacketizer.h"
#include "check.h"

namespace {

#ifdef FUZZ_H265
using Depacketizer = rtsp_pull::H265Depacketizer;
constexpr bool kH265 = true;
#else
using Depacketizer = rtsp_pull::H264Depacketizer;
constexpr bool kH265 = false;
#endif
volatile std::uint8_t g_touch;

struct Sink : rtsp_pull::NalSink {
  void onNal(const std::uint8_t* nal, std::size_t size) override {
    check(size > 0 && size <= 16u * 1024 * 1024 + (kH265 ? 2 : 0));
    g_touch = nal[0] ^ nal[size - 1];  // a unit past its buffer shows
    open = true;
  }
  void onAccessUnitInfo(std::uint32_t, bool) override { check(open || !kH265); }
  void onAccessUnitEnd() override { check(std::exchange(open, false) || !kH265); }
  bool open = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Sink sink;
  Depacketizer depacketizer(sink);
  forEachPacket(data, size, [&](const std::uint8_t*, const std::uint8_t* packet, std::size_t n) {
    rtsp_pull::isRtcp(packet, n);
    depacketizer.push(packet, n);
  });
  return 0;
}
