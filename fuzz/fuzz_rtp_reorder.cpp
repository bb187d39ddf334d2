// Fuzz target: the reordering receiver fed packets through a host that may
// refuse or throw. Input, repeated: a control byte (bits 0-1: the host
// refuses the n-th packet offered during this call, 0: none; bit 2: it throws
// instead; bit 3: the packet is the stream file header; bit 4: a new
// implementation first, dropping what is buffered), a big-endian length taken
// modulo 6001, the packet bytes. Checks: every packet delivered is one handed
// in; frames run from a frame-start packet to a marked one in ascending
// order; a refusal or an exception makes Execute false, and only the file
// header lets an exception through; a packet of 16 to 5000 bytes nobody
// refused is accepted.
#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include <rtsppull/rtp_receiver_udp.h>

#include "check.h"

namespace {

struct Host : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    if (!isFileHeader) {
      check(length <= 5000 && fed.count(std::string(data, length)) == 1);
      check(inFrame ? be16(data + 2) > lastSeq
                    : length >= 16 && (std::memcmp(data + 12, "\xC0\x02\x40\xFF", 4) == 0 ||
                                       std::memcmp(data + 12, "\x01\x00\x00\x00", 4) == 0));
      inFrame = (data[1] & 0x80) == 0;
      lastSeq = be16(data + 2);
    }
    if (++offered != refuseAt) return true;
    inFrame = false;  // the frame is offered again from its start
    if (throws) throw std::runtime_error("host failure");
    return false;
  }
  std::set<std::string> fed;
  unsigned refuseAt = 0, offered = 0, lastSeq = 0;
  bool throws = false, inFrame = false;
};

}  // namespace

// A pool whose first block holds two buffers: runs also grow the pool, and
// none pays for zero-filling a block of 100.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Host host;
  auto impl = owned(new CRTPReceiverOnUDP(2));
  const auto onPacket = [&](const std::uint8_t* control, const std::uint8_t* bytes, size_t n) {
    const std::string packet = textOf(bytes, n);
    const bool isFileHeader = (*control & 0x08u) != 0, renew = (*control & 0x10u) != 0;
    if (renew) impl.reset(new CRTPReceiverOnUDP(2));
    host.inFrame = host.inFrame && !renew;
    host.refuseAt = *control & 0x03u;
    host.throws = (*control & 0x04u) != 0;
    host.offered = 0;
    if (!isFileHeader) host.fed.insert(packet);
    bool result = false, threw = false;
    try {
      result = impl->Execute(&host, packet, isFileHeader, nullptr);
    } catch (const std::runtime_error&) {
      threw = true;
    }
    const bool refused = host.offered >= host.refuseAt && host.refuseAt != 0;
    check(!threw || isFileHeader);
    check(refused ? !result : result || isFileHeader || n < 16 || n > 5000);
  };
  forEachPacket(data, size, onPacket, 1, 6001);
  return 0;
}
