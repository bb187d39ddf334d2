// The two receivers that hold packets back. The frame-buffering one (frames,
// the drop rule, refusal, length limits, concurrent callers) and the choice of
// a receiver's implementation; the ordered-delivery one (order modulo 2^16,
// the window, dropped packets and their counters, a sender starting afresh,
// RTCP passing through). Receivers are destroyed with packets buffered;
// AddressSanitizer checks that every buffer goes back.
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include <rtsppull/rtp_receiver_ordered.h>
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

// Records every delivery, and the sequence number of each RTP packet (payload
// type 96) among them; refuses call `refuseCall` (from 1).
struct RecordingReceiver : IRTPReceiver {
  explicit RecordingReceiver(RTP_RECEIVER_IMPL type = RTP_RECEIVER_UDP) { changeImpl(type); }
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    calls.emplace_back(data, length);
    if (!isFileHeader && length >= 12 && (data[1] & 0x7F) == 96) seqs.push_back(Seq(calls.back()));
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
  for (unsigned s = first; s <= last; ++s)
    out.push_back(Packet(s, ts, s == last && !open, s == first ? Start::kC0 : Start::kNone));
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

const unsigned kNewSource = 0x10000;  // in an arrival list: this and later from another SSRC

struct OrderedUnderTest : CRTPReceiverOrdered {
  using CRTPReceiverOrdered::CRTPReceiverOrdered;
  ~OrderedUnderTest() override {}  // public, for an object on the stack
  // The results of Execute, one per arrival.
  std::vector<bool> feed(IRTPReceiver& host, const std::vector<unsigned>& arrivals) {
    std::vector<bool> results;
    std::uint32_t ssrc = 0x11223344;
    for (unsigned seq : arrivals) {
      if (seq & kNewSource) ssrc = 0x55667788;
      results.push_back(Execute(&host, RtpPacket(seq & 0xFFFF, 0, ssrc), false, nullptr));
    }
    return results;
  }
};

// clang-format off
struct OrderRow { const char* name; unsigned window; std::vector<unsigned> arrivals; Seqs delivered; std::uint64_t lost, late, duplicate, restarts; };
const OrderRow kOrderRows[] = {
    {"reordered", 64, {10, 13, 12, 11, 14}, {10, 11, 12, 13, 14}, 0, 0, 0, 0},
    {"duplicates, held and delivered", 64, {10, 12, 12, 11, 10}, {10, 11, 12}, 0, 0, 2, 0},
    {"late after its place was skipped", 4, {10, 12, 13, 14, 15, 11}, {10, 12, 13, 14, 15}, 1, 1, 0, 0},
    {"loss beyond the window", 4, {10, 13, 15, 19, 30}, {10, 13, 15, 19, 30}, 16, 0, 0, 0},
    {"a jump with nothing held", 4, {10, 500}, {10, 500}, 489, 0, 0, 0},
    {"reordered across the wrap", 64, {65533, 1, 65535, 0, 2, 65534}, {65533, 65534, 65535, 0, 1, 2}, 0, 0, 0, 0},
    {"after the wrap first", 64, {65533, 2, 0, 1, 65535, 65534}, {65533, 65534, 65535, 0, 1, 2}, 0, 0, 0, 0},
    {"loss across the wrap", 2, {65534, 1, 2}, {65534, 1, 2}, 2, 0, 0, 0},
    {"late across the wrap", 2, {65535, 1, 2, 0}, {65535, 1, 2}, 1, 1, 0, 0},
    // A new SSRC, or two consecutive numbers far behind, start afresh (101
    // and 9 to 3999 lost); one number far behind alone is late.
    {"the sender starts afresh", 64, {100, 102, 7 | kNewSource, 8, 4000, 4001, 4002, 9, 10, 11},
     {100, 102, 7, 8, 4000, 4001, 4002, 10, 11}, 3992, 1, 0, 2},
    {"one number far behind", 64, {5000, 5001, 1000, 5002, 1001}, {5000, 5001, 5002}, 0, 2, 0, 0},
    // The first packets wait until two in a row do not move the start back.
    {"the first packets reversed", 64, {13, 12, 11, 10, 14, 15, 16}, {10, 11, 12, 13, 14, 15, 16}, 0, 0, 0, 0},
    {"the first packets reversed across the wrap", 64, {1, 0, 65535, 2, 3}, {65535, 0, 1, 2, 3}, 0, 0, 0, 0},
    {"a first packet beyond the window of the start is late", 4, {20, 15, 21, 22}, {20, 21, 22}, 0, 1, 0, 0},
    {"a first packet already held is a duplicate", 64, {11, 10, 11, 12, 13}, {10, 11, 12, 13}, 0, 0, 1, 0},
};
// clang-format on

TEST(OrderedReceiver, DeliversInSequenceOrderAndCounts) {
  for (const OrderRow& row : kOrderRows) {
    RecordingReceiver host;
    OrderedUnderTest ordered(row.window);
    ordered.feed(host, row.arrivals);
    const CRTPReceiverOrdered::Counters counters = ordered.counters();
    EXPECT_EQ(host.seqs, row.delivered) << row.name;
    EXPECT_EQ(counters.delivered, row.delivered.size()) << row.name;
    EXPECT_EQ(counters.lost, row.lost) << row.name;
    EXPECT_EQ(counters.late, row.late) << row.name;
    EXPECT_EQ(counters.duplicate, row.duplicate) << row.name;
    EXPECT_EQ(counters.restarts, row.restarts) << row.name;
  }
}

// RTCP (a receiver report here) and the file header go straight through while
// 3 waits for 2; the Execute whose delivery is refused reports it, and the
// held packets follow with the next one.
TEST(OrderedReceiver, PassThroughAndRefusal) {
  RecordingReceiver host;
  host.refuseCall = 5;  // packet 2's, after 1 and the three passed through
  OrderedUnderTest ordered;
  ordered.feed(host, {1, 3});
  const std::string rtcp("\x80\xC8\x00\x01\x00\x00\x00\x07", 8);
  ordered.Execute(&host, rtcp, false, nullptr);
  ordered.ExecuteRtcp(&host, "marked by the host");
  ordered.Execute(&host, "header", true, nullptr);
  EXPECT_EQ(Packets(host.calls.begin() + 1, host.calls.end()),
            (Packets{rtcp, "marked by the host", "header"}));
  EXPECT_EQ(ordered.feed(host, {2, 4}), (std::vector<bool>{false, true}));
  EXPECT_EQ(host.seqs, (Seqs{1, 2, 3, 4}));
}

}  // namespace
