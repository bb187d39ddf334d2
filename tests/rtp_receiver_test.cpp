// The frame-buffering receiver (frames, the drop rule, refusal, length
// limits, concurrent callers) and the choice of a receiver's implementation.
// Receivers are destroyed with packets buffered; AddressSanitizer checks that
// every buffer goes back.
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include <rtsppull/rtp_receiver_udp.h>

#include "support/rtp_packet.h"

namespace {

using Seqs = std::vector<std::uint16_t>;
using Packets = std::vector<std::string>;
enum class Start { kNone, kC0, kOne };  // bytes 12-15: a slice or a frame-start word

// Payload type 96, SSRC 11223344; `tag` varies the filler so equal headers
// differ.
std::string Packet(unsigned seq, std::uint32_t ts, bool marker, Start start = Start::kNone,
                   std::size_t length = 1400, char tag = 0) {
  static const char* const kWords[] = {"\x65\x88\x84\x00", "\xC0\x02\x40\xFF", "\x01\x00\x00\x00"};
  std::string p = RtpPacket(seq, ts, 0x11223344, marker, std::max<std::size_t>(length, 16), tag);
  p.replace(12, 4, kWords[static_cast<int>(start)], 4);
  return p.substr(0, length);
}

std::uint16_t Seq(const std::string& p) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(p[2]) << 8 |
                                    static_cast<unsigned char>(p[3]));
}

// Records every delivery and refuses call `refuseCall` (from 1).
struct RecordingReceiver : IRTPReceiver {
  explicit RecordingReceiver(RTP_RECEIVER_IMPL type = RTP_RECEIVER_UDP) { changeImpl(type); }
  bool OnRecvData(const char* data, unsigned int length, bool, SDP*) override {
    calls.emplace_back(data, length);
    seqs.push_back(Seq(calls.back()));
    return calls.size() != refuseCall;
  }
  Packets calls;
  Seqs seqs;
  std::size_t refuseCall = 0;
};

// `out`, then packets first to last sharing `ts`: the first starts the frame,
// the last is marked unless `open`.
Packets Frame(unsigned first, unsigned last, std::uint32_t ts, bool open = false,
              Packets out = {}) {
  for (unsigned s = first; s <= last; ++s) {
    out.push_back(Packet(s, ts, s == last && !open, s == first ? Start::kC0 : Start::kNone));
  }
  return out;
}

Seqs Range(unsigned first, unsigned last) {
  Seqs out;
  for (unsigned s = first; s <= last; ++s) out.push_back(static_cast<std::uint16_t>(s));
  return out;
}

// Each step files its packets and lists the numbers delivered meanwhile.
// Host call `refuseCall` (from 1; 0: none) is refused, and so is the Execute
// that made it. What is delivered is the first copy filed under its number.
TEST(Reorder, DeliversWholeFramesInOrder) {
  const auto kC0 = Start::kC0;
  Packets singles;  // one-packet frames 1 to 58, each with its own timestamp
  for (unsigned s = 1; s <= 58; ++s) singles.push_back(Packet(s, 100 + s, true, kC0));
  // clang-format off
  struct Step { Packets packets; Seqs delivered; };
  struct Case { const char* name; std::size_t refuseCall; std::vector<Step> steps; };
  const Case cases[] = {
      {"reorder 3 1 2", 0, {{{Packet(3, 100, true)}, {}}, {{Packet(1, 100, false, kC0)}, {}},
                            {{Packet(2, 100, false)}, {1, 2, 3}}}},
      {"one-packet frames, both start words", 0, {{{Packet(10, 5, true, kC0)}, {10}},
                                                  {{Packet(11, 6, true, Start::kOne)}, {11}}}},
      {"no start word in front", 0, {{{Packet(5, 1, false), Packet(10, 2, true, kC0)}, {}}}},
      {"a duplicate keeps the first copy", 0, {{{Packet(1, 100, false, kC0, 1400, 1),
        Packet(1, 100, false, kC0, 1400, 2)}, {}}, {{Packet(2, 100, true)}, {1, 2}}}},
      {"timestamp change inside a frame", 0,
       {{{Packet(1, 1, false, kC0), Packet(2, 2, false), Packet(3, 1, true)}, {}}}},
      // Entry 0 (no frame start) blocks frame 1..59. Sixty entries wait (a new
      // copy of 0 is a duplicate); the 61st drops entry 0 and frees the rest.
      {"sixty wait, the sixty-first drops the front", 0,
       {{Frame(1, 59, 2, false, {Packet(0, 1, false)}), {}}, {{Packet(0, 9, true, kC0)}, {}},
        {{Packet(60, 3, true, kC0)}, Range(1, 60)}}},
      // The drop takes only the leading run sharing the front's timestamp.
      {"the drop takes the leading timestamp run", 0, {{Frame(4, 59, 9, true, {Packet(0, 7, false),
        Packet(1, 7, false, kC0), Packet(2, 7, false), Packet(3, 8, true, kC0)}), {}},
        {{Packet(60, 7, false)}, {3}}, {{Packet(60, 9, true)}, {}}}},
      // A refused frame stays whole and is offered again from its first packet.
      {"a refused frame is offered again", 2, {{Frame(1, 3, 10), {1, 2}},
        {{Packet(4, 20, false, kC0)}, {1, 2, 3}}, {{Packet(5, 20, true)}, {4, 5}}}},
      // 0 sorts before 65534/65535: the frame across the wrap is never
      // delivered and keeps its numbers taken.
      {"a frame across the wrap is never delivered", 0,
       {{{Packet(65534, 1, false, kC0), Packet(65535, 1, false), Packet(0, 1, true)}, {}},
        {singles, Range(1, 58)}, {{Packet(65534, 500, true, kC0)}, {}}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    RecordingReceiver host;
    host.refuseCall = c.refuseCall;
    std::map<std::uint16_t, std::string> firstCopy;
    for (const Step& step : c.steps) {
      host.seqs.clear();
      for (const std::string& p : step.packets) {
        firstCopy.emplace(Seq(p), p);
        const std::size_t before = host.calls.size();
        const bool ok = host.Execute(p, false, nullptr);
        EXPECT_EQ(ok, !(before < c.refuseCall && c.refuseCall <= host.calls.size()))
            << c.name << ": result for packet " << Seq(p);
      }
      EXPECT_EQ(host.seqs, step.delivered) << c.name;
    }
    for (const std::string& call : host.calls)
      EXPECT_EQ(call, firstCopy[Seq(call)]) << c.name << ": copy delivered of " << Seq(call);
  }
}

// 12 to 5000 bytes are taken (refused ones are not buffered); from 16 on a
// packet may begin a frame, a shorter one has no start word.
TEST(Reorder, PacketLengthLimits) {
  for (const unsigned len : {0u, 4u, 11u, 12u, 15u, 16u, 5000u, 5001u, 70000u}) {
    const std::string p = Packet(7, 1, true, Start::kC0, len);
    const bool valid = len >= 12 && len <= 5000;
    RecordingReceiver host;
    EXPECT_EQ(host.Execute(p, false, nullptr), valid) << len << " bytes";
    EXPECT_EQ(host.calls, valid && len >= 16 ? Packets{p} : Packets{}) << len << " bytes";
  }
}

// changeImpl picks what Execute does: nothing, hold the frame, or hand on at
// once. A copy or an assignment gets a fresh implementation of the source's
// type without its buffered packets; changing to the type installed keeps it.
TEST(Receiver, ChangeImplCopyAndAssignment) {
  const std::string start = Packet(1, 9, false, Start::kC0), end = Packet(2, 9, true);
  RecordingReceiver none(static_cast<RTP_RECEIVER_IMPL>(7)), src, assigned(RTP_RECEIVER_TCP);
  EXPECT_FALSE(none.Execute(start, false, nullptr)) << "no implementation";
  EXPECT_TRUE(src.Execute(start, false, nullptr));
  RecordingReceiver copy(src);
  assigned = src;
  static_cast<IRTPReceiver&>(src) = static_cast<const IRTPReceiver&>(src);  // self-assignment
  src.changeImpl(RTP_RECEIVER_UDP);  // its own type: the implementation stays
  for (RecordingReceiver* r : {&src, &copy, &assigned}) r->Execute(end, false, nullptr);
  EXPECT_EQ(src.seqs, Seqs({1, 2})) << "the source keeps its packets";
  EXPECT_EQ(copy.seqs, Seqs{}) << "a copy holds packet 2 alone";
  EXPECT_EQ(assigned.seqs, Seqs{}) << "an assigned receiver holds packet 2 alone";
  copy.changeImpl(RTP_RECEIVER_TCP);
  EXPECT_TRUE(copy.Execute(start, false, nullptr));
  EXPECT_EQ(copy.seqs, Seqs{1}) << "TCP hands a packet on at once";
}

// The host's records are a data race (ThreadSanitizer reports it, and lost
// or torn records follow) unless the receiver serialises its callers.
TEST(Reorder, ConcurrentExecuteIsSerialised) {
  RecordingReceiver host;
  const auto feed = [&host](unsigned seq) {
    for (; seq < 40000; seq += 2)
      host.Execute(Packet(seq, seq, true, Start::kC0, 200), false, nullptr);
  };
  std::thread even(feed, 0), odd(feed, 1);
  even.join();
  odd.join();
  EXPECT_EQ(host.calls.size(), 40000u);
}

}  // namespace
