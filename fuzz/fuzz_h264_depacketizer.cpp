// Fuzz target: the command-line tool's H.264 depacketizer fed a sequence of
// RTP packets.
//
// Input layout, repeated until the input ends: a 2-byte big-endian packet
// length, then the packet bytes (fewer if the input runs out).
//
// Checks beyond the sanitizers: every NAL unit handed to the sink is
// non-empty and within the 16 MiB bound, and an access-unit end is only
// reported after at least one NAL unit of that access unit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "h264_depacketizer.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

class CheckingSink : public rtsp_pull::NalSink {
 public:
  void onNal(const std::uint8_t* nal, std::size_t size) override {
    check(nal != nullptr);
    check(size > 0 && size <= 16u * 1024 * 1024);
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += nal[i];
    checksum_ += sum;
    nalsInUnit_ = true;
  }
  void onAccessUnitEnd() override {
    check(nalsInUnit_);
    nalsInUnit_ = false;
  }

 private:
  bool nalsInUnit_ = false;
  unsigned checksum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckingSink sink;
  rtsp_pull::H264Depacketizer depacketizer(sink);
  std::size_t pos = 0;
  std::uint64_t pushed = 0;
  while (pos + 2 <= size) {
    std::size_t length = (static_cast<std::size_t>(data[pos]) << 8) | data[pos + 1];
    pos += 2;
    if (length > size - pos) length = size - pos;
    // An exact-size heap copy, so that a read past the packet is caught.
    const std::vector<std::uint8_t> packet(data + pos, data + pos + length);
    pos += length;
    rtsp_pull::isRtcp(packet.data(), packet.size());
    depacketizer.push(packet.data(), packet.size());
    ++pushed;
  }
  const rtsp_pull::H264Depacketizer::Counters& c = depacketizer.counters();
  check(c.packets + c.malformed >= pushed);
  return 0;
}
