// Fuzz target: the reordering receiver (CRTPReceiverOnUDP::Execute) fed a
// sequence of packets through a host receiver that sometimes refuses.
//
// Input layout, repeated until the input ends:
//   byte 0      control: bit 0-1  the host refuses the n-th packet offered
//                                 during this call (0: accepts everything)
//                        bit 2    the host throws instead of refusing
//                        bit 3    deliver as the stream file header
//                        bit 4    reinstall the implementation first (drops
//                                 whatever is buffered)
//   byte 1-2    packet length, big-endian, taken modulo 6001 (so packets
//               above the 5000-byte buffer occur too)
//   ...         the packet bytes (fewer if the input runs out)
//
// Checks beyond the sanitizers: every packet the host sees is one that was
// handed in, byte for byte; frames reach the host from a frame-start packet
// to a marked packet in ascending sequence order; a refusal or a host
// exception makes Execute return false; a packet of usable size that nobody
// refused is accepted; nothing escapes Execute on the data path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_udp.h>

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool beginsFrame(const char* data, unsigned int length) {
  static const unsigned char kStartA[4] = {0xC0, 0x02, 0x40, 0xFF};
  static const unsigned char kStartB[4] = {0x01, 0x00, 0x00, 0x00};
  return length >= 16 &&
         (std::memcmp(data + 12, kStartA, 4) == 0 || std::memcmp(data + 12, kStartB, 4) == 0);
}

class FuzzHost : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    check(data != nullptr);
    // Touch every byte handed over: a read past the buffer shows up here.
    unsigned sum = 0;
    for (unsigned int i = 0; i < length; ++i) sum += static_cast<unsigned char>(data[i]);
    checksum_ += sum;
    if (isFileHeader) {
      check(sdp == nullptr);  // this target never passes one
    } else {
      check(sdp == nullptr);
      check(length <= 5000);
      check(fed_.count(std::string(data, length)) == 1);
      check(length >= 4);
      const unsigned seq = (static_cast<unsigned>(static_cast<unsigned char>(data[2])) << 8) |
                           static_cast<unsigned char>(data[3]);
      const bool marker = length >= 2 && (static_cast<unsigned char>(data[1]) & 0x80u) != 0;
      if (!inFrame_) {
        check(beginsFrame(data, length));
      } else {
        check(seq > lastSeq_);
      }
      inFrame_ = !marker;
      lastSeq_ = seq;
    }
    ++offered_;
    if (refuseAt_ != 0 && offered_ == refuseAt_) {
      refused_ = true;
      inFrame_ = false;  // the frame is offered again from its start
      if (throwInstead_) throw std::runtime_error("host failure");
      return false;
    }
    return true;
  }

  void arm(unsigned refuseAt, bool throwInstead) {
    refuseAt_ = refuseAt;
    throwInstead_ = throwInstead;
    offered_ = 0;
    refused_ = false;
  }
  bool refused() const { return refused_; }
  void remember(const std::string& packet) { fed_.insert(packet); }
  void resetFrame() { inFrame_ = false; }

 private:
  std::set<std::string> fed_;
  unsigned refuseAt_ = 0;
  bool throwInstead_ = false;
  unsigned offered_ = 0;
  bool refused_ = false;
  bool inFrame_ = false;
  unsigned lastSeq_ = 0;
  unsigned checksum_ = 0;
};

struct ImplDeleter {
  void operator()(CRTPReceiverImpl* impl) const { impl->Destroy(); }
};
typedef std::unique_ptr<CRTPReceiverOnUDP, ImplDeleter> ImplPtr;

}  // namespace

// The implementation is constructed directly, as a host may do, with a pool
// whose first block holds two buffers: every run then also grows the pool,
// and no run pays for the zero-fill of a 100-buffer block.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzHost host;
  ImplPtr impl(new CRTPReceiverOnUDP(2));
  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const unsigned control = data[pos];
    std::size_t length = ((static_cast<std::size_t>(data[pos + 1]) << 8) | data[pos + 2]) % 6001;
    pos += 3;
    if (length > size - pos) length = size - pos;
    const std::string packet(reinterpret_cast<const char*>(data + pos), length);
    pos += length;

    if ((control & 0x10u) != 0) {
      impl.reset(new CRTPReceiverOnUDP(2));
      host.resetFrame();
    }
    const bool isFileHeader = (control & 0x08u) != 0;
    host.arm(control & 0x03u, (control & 0x04u) != 0);
    if (!isFileHeader) host.remember(packet);

    bool result = false;
    bool threw = false;
    try {
      result = impl->Execute(&host, packet, isFileHeader, nullptr);
    } catch (const std::runtime_error&) {
      threw = true;
    }
    // Only the file header path lets the host's exception through.
    check(!threw || isFileHeader);
    if (host.refused()) check(!result);
    if (!isFileHeader && !host.refused() && packet.size() >= 16 && packet.size() <= 5000) {
      check(result);
    }
  }
  return 0;
}
