// Packet builders and a recording host receiver for the reordering tests.
#ifndef RTSPPULL_TESTS_REORDER_TEST_UTIL_H_
#define RTSPPULL_TESTS_REORDER_TEST_UTIL_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_udp.h>

namespace reorder_test {

using Seqs = std::vector<std::uint16_t>;

// What bytes 12-15 of a packet hold: an ordinary slice (65 88 84 00), one of
// the two frame-start words (C0 02 40 FF, 01 00 00 00), or the other byte
// order of 1 (00 00 00 01), which starts no frame.
enum class Start { kNone, kC0, kOne, kBigEndian };

// An RTP packet of `length` bytes: version 2, payload type 96, SSRC
// 0x11223344, the start word, then a filler derived from `tag` and `seq` so
// that two packets with equal headers still differ.
inline std::string Packet(std::uint16_t seq, std::uint32_t ts, bool marker,
                          Start start = Start::kNone, std::size_t length = 1400,
                          unsigned char tag = 0) {
  static const char* const kWords[] = {"\x65\x88\x84\x00", "\xC0\x02\x40\xFF", "\x01\x00\x00\x00",
                                       "\x00\x00\x00\x01"};
  std::string p(std::max<std::size_t>(length, 16), '\0');
  p[0] = '\x80';
  p[1] = static_cast<char>(marker ? 0xE0 : 0x60);
  for (int i = 0; i < 2; ++i) p[2 + i] = static_cast<char>(seq >> (8 - 8 * i));
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<char>(ts >> (24 - 8 * i));
  p.replace(8, 4, "\x11\x22\x33\x44");
  p.replace(12, 4, kWords[static_cast<int>(start)], 4);
  for (std::size_t i = 16; i < p.size(); ++i) p[i] = static_cast<char>((i * 7 + tag + seq) & 0xFF);
  p.resize(length);
  return p;
}

inline std::uint16_t SeqOf(const std::string& packet) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(packet[2]) << 8) |
                                    static_cast<unsigned char>(packet[3]));
}

// Host receiver that records every call. `verdict` (if set) decides each
// call's result from the number of calls so far; it may also throw.
class RecordingReceiver : public IRTPReceiver {
 public:
  struct Call {
    std::string data;
    bool isFileHeader;
    SDP* sdp;
  };
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    calls.push_back(Call{std::string(data, length), isFileHeader, sdp});
    return verdict ? verdict(calls.size()) : true;
  }
  Seqs seqs() const {
    Seqs out;
    for (const Call& c : calls) out.push_back(c.data.size() >= 4 ? SeqOf(c.data) : 0xFFFF);
    return out;
  }
  std::vector<Call> calls;
  std::function<bool(std::size_t)> verdict;
};

// The reordering receiver on the stack, with the protected steps reachable.
class TestableUDP : public CRTPReceiverOnUDP {
 public:
  using CRTPReceiverOnUDP::CRTPReceiverOnUDP;
  using CRTPReceiverOnUDP::initRTPHeader;
  using CRTPReceiverOnUDP::recvIntactFrame;
  ~TestableUDP() override {}
};

}  // namespace reorder_test

#endif  // RTSPPULL_TESTS_REORDER_TEST_UTIL_H_
