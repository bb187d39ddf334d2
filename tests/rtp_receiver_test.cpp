// The two receivers that hold packets back. The frame-buffering one (frames,
// the drop rule, refusal, length limits, concurrent callers) and the choice of
// a receiver's implementation; the ordered-delivery one (order modulo 2^16,
// the window, dropped packets and their counters, a sender starting afresh,
// RTCP passing through). Receivers are destroyed with packets buffered;
// AddressSanitizer checks that every buffer goes back.
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <rtsppull/rtp_receiver_ordered.h>
#include <rtsppull/rtp_receiver_udp.h>

#include "support/data_rows.h"
#include "support/rtp_packet.h"

namespace {

using Seqs = std::vector<std::uint16_t>;
using Packets = std::vector<std::string>;
enum class Start { kNone, kC0, kOne };  // bytes 12-15: a slice or a frame-start word

// Payload type 96; `tag` varies the filler so equal headers differ.
std::string Packet(unsigned seq, std::uint32_t ts, bool marker, Start start = Start::kNone,
                   std::size_t length = 1400, char tag = 0, std::uint32_t ssrc = 0x11223344) {
  static const char* const kWords[] = {"\x65\x88\x84\x00", "\xC0\x02\x40\xFF", "\x01\x00\x00\x00"};
  std::string p = RtpPacket(seq, ts, ssrc, marker, std::max<std::size_t>(length, 16), tag);
  p.replace(12, 4, kWords[static_cast<int>(start)], 4);
  return p.substr(0, length);
}

std::uint16_t Seq(const std::string& p) {
  if (p.size() < 4) return 0;
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

unsigned Num(const std::string& text) { return static_cast<unsigned>(std::stoul(text)); }

// "A-B" as the numbers A to B, other words as one number; "-" as none.
Seqs SeqsOf(const std::string& text) {
  Seqs out;
  std::istringstream words(text);
  for (std::string w; words >> w && w != "-";) {
    const std::size_t dash = w.find('-');
    for (unsigned s = Num(w); s <= Num(w.substr(dash + 1)); ++s)
      out.push_back(static_cast<std::uint16_t>(s));
  }
  return out;
}

// The packets of a step of tests/data/rtp_receivers.txt (its header explains the notation).
Packets PacketsOf(const std::string& text) {
  Packets out;
  std::istringstream words(text);
  std::uint32_t ssrc = 0x11223344;
  for (std::string w; words >> w;) {
    const std::size_t at = std::min(w.find('@'), w.size()), dash = w.find('-'), tag = w.find('#');
    const std::size_t slash = w.find('/');
    const bool each = at < w.size() && w[at + 1] == '+';
    const unsigned first = Num(w), ts = at < w.size() ? Num(w.substr(at + 1 + each)) : 0;
    const auto has = [&](char flag) { return w.find(flag, at) != std::string::npos; };
    const Start start = has('s') ? Start::kC0 : has('o') ? Start::kOne : Start::kNone;
    if (w[0] == '+') ssrc = 0x55667788;
    if (dash > at) {
      out.push_back(Packet(first, ts, has('m'), start,
                           slash < w.size() ? Num(w.substr(slash + 1)) : 1400,
                           tag < w.size() ? w[tag + 1] : 0, ssrc));
      continue;
    }
    for (unsigned s = first, last = Num(w.substr(dash + 1)); s <= last; ++s)
      out.push_back(
          each ? Packet(s, ts + s, true, Start::kC0)
               : Packet(s, ts, s == last && !has('~'), s == first ? Start::kC0 : Start::kNone));
  }
  return out;
}

struct OrderedUnderTest : CRTPReceiverOrdered {
  using CRTPReceiverOrdered::CRTPReceiverOrdered;
  ~OrderedUnderTest() override {}  // public, for an object on the stack
};

// The cases of tests/data/rtp_receivers.txt: of the frame-buffering receiver
// in steps, of the ordered one in one step with its counters.
TEST(Receivers, DeliverInOrder) {
  std::unique_ptr<RecordingReceiver> host;
  std::unique_ptr<OrderedUnderTest> ordered;
  std::map<std::uint16_t, std::string> firstCopy;
  for (const rtsptest::DataRow& row : rtsptest::dataRows("rtp_receivers.txt")) {
    std::istringstream in(row.input), out(row.output);
    if (row.function != "step") {
      unsigned number = 0;
      in >> number;
      host = std::make_unique<RecordingReceiver>();
      host->refuseCall = row.function == "case" ? number : 0;
      ordered = row.function == "ordered" ? std::make_unique<OrderedUnderTest>(number) : nullptr;
      firstCopy.clear();
      if (!ordered) continue;
    }
    std::string packets, delivered, word;
    std::getline(in, packets);
    std::map<std::string, std::uint64_t> want;
    while (out >> word) {
      const std::size_t eq = word.find('=');
      if (eq == std::string::npos)
        delivered += " " + word;
      else
        want[word.substr(0, eq)] = Num(word.substr(eq + 1));
    }
    host->seqs.clear();
    for (const std::string& p : PacketsOf(packets)) {
      firstCopy.emplace(Seq(p), p);
      const std::size_t before = host->calls.size(), refuse = host->refuseCall;
      const bool ok = ordered ? ordered->Execute(host.get(), p, false, nullptr)
                              : host->Execute(p, false, nullptr);
      EXPECT_EQ(ok, !want.count("fails") && !(before < refuse && refuse <= host->calls.size()))
          << row.where << ": result for packet " << Seq(p);
      for (std::size_t i = before; i < host->calls.size(); ++i)
        EXPECT_EQ(host->calls[i], firstCopy[Seq(host->calls[i])])
            << row.where << ": copy delivered of " << Seq(host->calls[i]);
    }
    EXPECT_EQ(host->seqs, SeqsOf(delivered)) << row.where;
    if (!ordered) continue;
    const CRTPReceiverOrdered::Counters counters = ordered->counters();
    EXPECT_EQ(counters.delivered, host->seqs.size()) << row.where;
    EXPECT_EQ(counters.lost, want["lost"]) << row.where;
    EXPECT_EQ(counters.late, want["late"]) << row.where;
    EXPECT_EQ(counters.duplicate, want["duplicate"]) << row.where;
    EXPECT_EQ(counters.restarts, want["restarts"]) << row.where;
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

// RTCP (a receiver report here) and the file header go straight through while
// 3 waits for 2; the Execute whose delivery is refused reports it, and the
// held packets follow with the next one.
TEST(OrderedReceiver, PassThroughAndRefusal) {
  RecordingReceiver host;
  host.refuseCall = 5;  // packet 2's, after 1 and the three passed through
  OrderedUnderTest ordered;
  for (const std::string& p : PacketsOf("1 3")) ordered.Execute(&host, p, false, nullptr);
  const std::string rtcp("\x80\xC8\x00\x01\x00\x00\x00\x07", 8);
  ordered.Execute(&host, rtcp, false, nullptr);
  ordered.ExecuteRtcp(&host, "marked by the host");
  ordered.Execute(&host, "header", true, nullptr);
  EXPECT_EQ(Packets(host.calls.begin() + 1, host.calls.end()),
            (Packets{rtcp, "marked by the host", "header"}));
  EXPECT_FALSE(ordered.Execute(&host, Packet(2, 0, false), false, nullptr)) << "2 refused";
  EXPECT_TRUE(ordered.Execute(&host, Packet(4, 0, false), false, nullptr)) << "3 and 4 taken";
  EXPECT_EQ(host.seqs, (Seqs{1, 2, 3, 4}));
}

}  // namespace
