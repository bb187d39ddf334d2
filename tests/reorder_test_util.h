// Packet builders and a recording host receiver for the reordering tests.
#ifndef RTSPPULL_TESTS_REORDER_TEST_UTIL_H_
#define RTSPPULL_TESTS_REORDER_TEST_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_udp.h>

namespace reorder_test {

// What bytes 12-15 of a packet hold.
enum class Start {
  kNone,      // 65 88 84 00: an ordinary slice, no frame start
  kC0,        // C0 02 40 FF
  kOne,       // 01 00 00 00
  kBigEndian  // 00 00 00 01: the other byte order, no frame start
};

// An RTP packet of `length` bytes (at least 16 unless start is kNone):
// version 2, payload type 96, the given sequence number, timestamp and
// marker, SSRC 0x11223344, then the start word and a filler derived from
// `tag` so that two packets with equal headers still differ.
inline std::string Packet(std::uint16_t seq, std::uint32_t ts, bool marker,
                          Start start = Start::kNone, std::size_t length = 1400,
                          unsigned char tag = 0) {
  std::string p(length, '\0');
  const unsigned char header[12] = {0x80,
                                    static_cast<unsigned char>((marker ? 0x80 : 0) | 96),
                                    static_cast<unsigned char>(seq >> 8),
                                    static_cast<unsigned char>(seq),
                                    static_cast<unsigned char>(ts >> 24),
                                    static_cast<unsigned char>(ts >> 16),
                                    static_cast<unsigned char>(ts >> 8),
                                    static_cast<unsigned char>(ts),
                                    0x11,
                                    0x22,
                                    0x33,
                                    0x44};
  static const unsigned char kWords[4][4] = {
      {0x65, 0x88, 0x84, 0x00}, {0xC0, 0x02, 0x40, 0xFF}, {0x01, 0x00, 0x00, 0x00}, {0, 0, 0, 1}};
  for (std::size_t i = 0; i < length && i < 12; ++i) p[i] = static_cast<char>(header[i]);
  const unsigned char* word = kWords[static_cast<int>(start)];
  for (std::size_t i = 12; i < length && i < 16; ++i) p[i] = static_cast<char>(word[i - 12]);
  for (std::size_t i = 16; i < length; ++i) p[i] = static_cast<char>((i * 7 + tag + seq) & 0xFF);
  return p;
}

// Sequence number of a stored or delivered packet.
inline std::uint16_t SeqOf(const std::string& packet) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(packet[2]) << 8) |
                                    static_cast<unsigned char>(packet[3]));
}

// A frame of `count` packets from `firstSeq` (wrapping at 65536): the first
// begins the frame, the last carries the marker, all share `ts`.
inline std::vector<std::string> Frame(std::uint16_t firstSeq, std::uint32_t ts, int count,
                                      std::size_t length = 1400, Start start = Start::kC0) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(Packet(static_cast<std::uint16_t>(firstSeq + i), ts, i == count - 1,
                         i == 0 ? start : Start::kNone, length));
  }
  return out;
}

// Host receiver that records every call. `verdict` (if set) decides each
// call's result; it may also throw.
class RecordingReceiver : public IRTPReceiver {
 public:
  struct Call {
    std::string data;
    bool isFileHeader;
    SDP* sdp;
  };

  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    calls.push_back(Call{std::string(data, length), isFileHeader, sdp});
    return verdict ? verdict(calls.back(), calls.size()) : true;
  }

  std::vector<std::uint16_t> Seqs() const {
    std::vector<std::uint16_t> out;
    for (const Call& c : calls) out.push_back(c.data.size() >= 4 ? SeqOf(c.data) : 0xFFFF);
    return out;
  }

  std::vector<Call> calls;
  // (call just recorded, number of calls so far including it) -> result.
  std::function<bool(const Call&, std::size_t)> verdict;
};

// The reordering receiver on the stack, with the protected parser reachable.
class TestableUDP : public CRTPReceiverOnUDP {
 public:
  using CRTPReceiverOnUDP::CRTPReceiverOnUDP;
  using CRTPReceiverOnUDP::deleteFirstUnIntractFrame;
  using CRTPReceiverOnUDP::initRTPHeader;
  using CRTPReceiverOnUDP::recvIntactFrame;
  ~TestableUDP() override {}
};

}  // namespace reorder_test

#endif  // RTSPPULL_TESTS_REORDER_TEST_UTIL_H_
