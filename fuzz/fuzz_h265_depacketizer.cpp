// Fuzz target: the rtsp-pull tool's H.265 depacketizer. Input, repeated: a
// big-endian 2-byte length, the packet bytes. Checks: NAL units are non-empty
// and within 16 MiB (plus the rebuilt 2-byte header); access units end only
// after they began.
#include <cstdint>
#include <utility>

#include "h265_depacketizer.h"
#include "check.h"

namespace {

volatile std::uint8_t g_touch;

struct Sink : rtsp_pull::NalSink {
  void onNal(const std::uint8_t* nal, std::size_t size) override {
    check(size > 0 && size <= 16u * 1024 * 1024 + 2);
    g_touch = nal[0] ^ nal[size - 1];  // a unit past its buffer shows
    open = true;
  }
  void onAccessUnitInfo(std::uint32_t, bool) override { check(open); }
  void onAccessUnitEnd() override { check(std::exchange(open, false)); }
  bool open = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Sink sink;
  rtsp_pull::H265Depacketizer depacketizer(sink);
  forEachPacket(data, size, [&](const std::uint8_t* packet, std::size_t length) {
    depacketizer.push(packet, length);
  });
  return 0;
}
