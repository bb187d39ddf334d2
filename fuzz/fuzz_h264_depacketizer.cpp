// Fuzz target: the rtsp-pull tool's H.264 depacketizer. Input, repeated: a
// big-endian 2-byte length, the packet bytes. Checks: NAL units are non-empty
// and within 16 MiB.
#include <cstdint>

#include "h264_depacketizer.h"
#include "check.h"

namespace {

volatile std::uint8_t g_touch;

struct Sink : rtsp_pull::NalSink {
  void onNal(const std::uint8_t* nal, std::size_t size) override {
    check(size > 0 && size <= 16u * 1024 * 1024);
    g_touch = nal[0] ^ nal[size - 1];  // a unit past its buffer shows
  }
  void onAccessUnitEnd() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Sink sink;
  rtsp_pull::H264Depacketizer depacketizer(sink);
  forEachPacket(data, size, [&](const std::uint8_t* packet, std::size_t length) {
    rtsp_pull::isRtcp(packet, length);
    depacketizer.push(packet, length);
  });
  return 0;
}
