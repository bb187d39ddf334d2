// Reordering receiver: header parsing, frame judgement, drop rule, refusal,
// packet-length limits and serialisation of concurrent callers.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <rtsppull/sdp.h>

#include "reorder_test_util.h"

#if defined(__SANITIZE_THREAD__)
#define REORDER_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define REORDER_TEST_TSAN 1
#endif
#endif
#ifndef REORDER_TEST_TSAN
#define REORDER_TEST_TSAN 0
#endif

using namespace reorder_test;
using Seqs = std::vector<std::uint16_t>;

namespace {

// Feeds `packets` through `udp` one by one; every call must succeed.
void FeedAll(CRTPReceiverOnUDP& udp, RecordingReceiver& host,
             const std::vector<std::string>& packets) {
  for (const std::string& p : packets) {
    ASSERT_TRUE(udp.Execute(&host, p, false, nullptr)) << "seq " << SeqOf(p);
  }
}

Seqs Range(std::uint16_t first, std::uint16_t last) {
  Seqs out;
  for (unsigned v = first; v <= last; ++v) out.push_back(static_cast<std::uint16_t>(v));
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Basics and the file-header path

TEST(ReorderBasics, TypeIs100AndAPacketWithoutDeliveryStillSucceeds) {
  TestableUDP udp;  // default capacity
  EXPECT_EQ(udp.getImplType(), RTP_RECEIVER_UDP);
  RecordingReceiver host;
  EXPECT_TRUE(udp.Execute(&host, Packet(5, 1, false, Start::kNone), false, nullptr));
  EXPECT_TRUE(host.calls.empty());
}

TEST(ReorderBasics, FileHeaderBypassesTheBufferAndReturnsTheHostVerdict) {
  SDP sdp;
  for (bool verdict : {true, false}) {
    TestableUDP udp(7);
    RecordingReceiver host;
    host.verdict = [verdict](const RecordingReceiver::Call&, std::size_t) { return verdict; };
    // Too short to be a packet, and it carries the marker and a start word
    // once padded: neither matters for a header.
    for (const std::string& header :
         {std::string(), std::string("\x01\x02\x03", 3), Packet(1, 1, true, Start::kC0, 64)}) {
      host.calls.clear();
      EXPECT_EQ(udp.Execute(&host, header, true, &sdp), verdict);
      ASSERT_EQ(host.calls.size(), 1u);
      EXPECT_EQ(host.calls[0].data, header);
      EXPECT_TRUE(host.calls[0].isFileHeader);
      EXPECT_EQ(host.calls[0].sdp, &sdp);
    }
    // The headers were not buffered: seq 1 is free for a one-packet frame.
    host.calls.clear();
    host.verdict = nullptr;
    EXPECT_TRUE(udp.Execute(&host, Packet(1, 9, true, Start::kC0), false, nullptr));
    EXPECT_EQ(host.Seqs(), Seqs{1});
  }
}

TEST(ReorderBasics, HostExceptionOnFileHeaderReachesCallerAndLockIsReleased) {
  TestableUDP udp;
  RecordingReceiver host;
  host.verdict = [](const RecordingReceiver::Call& c, std::size_t) -> bool {
    if (c.isFileHeader) throw std::runtime_error("host");
    return true;
  };
  EXPECT_THROW(udp.Execute(&host, "hdr", true, nullptr), std::runtime_error);
  host.calls.clear();
  // A second call would deadlock if the guard had not released the mutex.
  EXPECT_TRUE(udp.Execute(&host, Packet(3, 1, true, Start::kOne), false, nullptr));
  EXPECT_EQ(host.Seqs(), Seqs{3});
}

// ---------------------------------------------------------------------------
// Header parsing

TEST(ReorderHeader, ParsesFieldsByteByByte) {
  TestableUDP udp;
  std::string p = Packet(0, 0, false, Start::kNone, 40);
  const unsigned char head[12] = {0x82, 0xE0, 0x12, 0x34, 0x00, 0x00,
                                  0x00, 0x0A, 0xDE, 0xAD, 0xBE, 0xEF};
  std::memcpy(&p[0], head, 12);
  CRTPReceiverOnUDP::RTP hdr;
  const char* payload = nullptr;
  int payloadLength = -1;
  udp.initRTPHeader(p, hdr, payload, payloadLength);
  EXPECT_EQ(hdr.version, 2);
  EXPECT_EQ(hdr.padding, 0);
  EXPECT_EQ(hdr.extension, 0);
  EXPECT_EQ(hdr.csrcCount, 2);  // CSRC list not skipped:
  EXPECT_EQ(payload, p.c_str() + 12);
  EXPECT_EQ(payloadLength, 28);
  EXPECT_EQ(hdr.marker, 1);
  EXPECT_EQ(hdr.payloadType, 0x60);
  EXPECT_EQ(hdr.seqNo, 0x1234);
  EXPECT_EQ(hdr.timestamp, 10u);
  // SSRC stays in wire order.
  EXPECT_EQ(std::memcmp(&hdr.ssrc, "\xDE\xAD\xBE\xEF", 4), 0);

  p[0] = static_cast<char>(0xBF);  // version 2, padding, extension, 15 CSRCs
  p[1] = 0x7F;                     // marker clear, payload type 127
  udp.initRTPHeader(p, hdr, payload, payloadLength);
  EXPECT_EQ(hdr.padding, 1);
  EXPECT_EQ(hdr.extension, 1);
  EXPECT_EQ(hdr.csrcCount, 15);
  EXPECT_EQ(hdr.marker, 0);
  EXPECT_EQ(hdr.payloadType, 127);
}

// A packet cut short inside the fixed header: the fields its bytes cover are
// parsed, the rest are zero. The string is shrunk from a longer one filled
// with 0xFF, so stale bytes sit right behind its end: reading them would show.
TEST(ReorderHeader, ShortPacketsYieldOnlyTheFieldsTheirBytesCover) {
  TestableUDP udp;
  for (std::size_t len = 0; len <= 12; ++len) {
    SCOPED_TRACE(len);
    std::string p(15, static_cast<char>(0xFF));
    p.resize(len);
    CRTPReceiverOnUDP::RTP hdr;
    const char* payload = nullptr;
    int payloadLength = -1;
    udp.initRTPHeader(p, hdr, payload, payloadLength);
    EXPECT_EQ(hdr.version, len >= 1 ? 3 : 0);
    EXPECT_EQ(hdr.marker, len >= 2 ? 1 : 0);
    EXPECT_EQ(hdr.seqNo, len >= 4 ? 0xFFFF : 0);
    EXPECT_EQ(hdr.timestamp, len >= 8 ? 0xFFFFFFFFu : 0u);
    EXPECT_EQ(hdr.ssrc, len >= 12 ? 0xFFFFFFFFu : 0u);
    EXPECT_EQ(payload, p.c_str() + len);
    EXPECT_EQ(payloadLength, 0);
  }
}

// ---------------------------------------------------------------------------
// Frame judgement and delivery, table-driven. Each step files one packet and
// lists the sequence numbers delivered during that call. Delivered bytes must
// equal the first packet sent with that sequence number in the scenario.

struct Step {
  std::string packet;
  Seqs delivered;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

class ReorderScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReorderScenario, DeliversExactlyTheExpectedPackets) {
  const Scenario& sc = GetParam();
  TestableUDP udp;
  RecordingReceiver host;
  std::map<std::uint16_t, std::string> firstCopy;
  for (std::size_t i = 0; i < sc.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& step = sc.steps[i];
    firstCopy.emplace(SeqOf(step.packet), step.packet);
    host.calls.clear();
    EXPECT_TRUE(udp.Execute(&host, step.packet, false, nullptr));
    EXPECT_EQ(host.Seqs(), step.delivered);
    for (const RecordingReceiver::Call& c : host.calls) {
      EXPECT_FALSE(c.isFileHeader);
      EXPECT_EQ(c.sdp, nullptr);
      EXPECT_EQ(c.data, firstCopy[SeqOf(c.data)]);
    }
  }
}

const Scenario kScenarios[] = {
    {"Reorder312",
     {{Packet(3, 100, true), {}},
      {Packet(1, 100, false, Start::kC0), {}},
      {Packet(2, 100, false), {1, 2, 3}},
      {Packet(4, 200, false, Start::kC0), {}}}},
    // The marked packet completes its frame in the call that files it.
    {"InOrderFrameDeliveredOnItsMarkedPacket",
     {{Packet(1, 100, false, Start::kOne), {}},
      {Packet(2, 100, false), {}},
      {Packet(3, 100, true), {1, 2, 3}}}},
    {"OnePacketFrameDeliveredInFilingCall",
     {{Packet(10, 5, true, Start::kC0), {10}}, {Packet(11, 6, true, Start::kOne), {11}}}},
    {"OnePacketFrameBehindLowerEntryWaits",
     {{Packet(5, 1, false, Start::kNone), {}}, {Packet(10, 2, true, Start::kC0), {}}}},
    {"DuplicateKeepsFirstCopy",
     {{Packet(1, 100, false, Start::kC0, 1400, 1), {}},
      {Packet(1, 100, false, Start::kC0, 1400, 2), {}},
      {Packet(2, 100, true, Start::kNone, 1400, 1), {1, 2}}}},
    // Only buffered numbers are taken: once delivered, a number is free again.
    {"CopyOfDeliveredFrameIsNew",
     {{Packet(7, 1, true, Start::kC0), {7}}, {Packet(7, 1, true, Start::kC0), {7}}}},
    {"OtherByteOrderOfOneIsNoStart", {{Packet(20, 1, true, Start::kBigEndian), {}}}},
    {"StartWordsInsideFrameIgnored",
     {{Packet(1, 1, false, Start::kC0), {}},
      {Packet(2, 1, false, Start::kC0), {}},
      {Packet(3, 1, true, Start::kOne), {1, 2, 3}}}},
    {"TimestampChangeInsideFrame",
     {{Packet(1, 1, false, Start::kC0), {}}, {Packet(2, 2, false), {}}, {Packet(3, 1, true), {}}}},
    {"MarkedPacketWithOtherTimestamp",
     {{Packet(1, 1, false, Start::kC0), {}}, {Packet(2, 2, true), {}}}},
    {"GapBeforeMarkerWaitsUntilFilled",
     {{Packet(1, 1, false, Start::kC0), {}},
      {Packet(2, 1, false), {}},
      {Packet(4, 1, true), {}},
      {Packet(3, 1, false), {1, 2, 3, 4}}}},
    {"LatePacketCompletesSeveralFrames",
     {{Packet(2, 10, false), {}},
      {Packet(3, 10, true), {}},
      {Packet(4, 20, false, Start::kC0), {}},
      {Packet(5, 20, true), {}},
      {Packet(6, 30, true, Start::kOne), {}},
      {Packet(1, 10, false, Start::kC0), {1, 2, 3, 4, 5, 6}}}},
    // 12 to 15 bytes: buffered, may end a frame, never begin one.
    {"HeaderOnlyPacketEndsFrame",
     {{Packet(1, 1, false, Start::kC0), {}}, {Packet(2, 1, true, Start::kNone, 12), {1, 2}}}},
    {"FifteenBytePacketNeverBeginsFrame",
     {{Packet(1, 1, true, Start::kC0, 15), {}}, {Packet(2, 1, true, Start::kC0), {}}}},
    {"FrameEndingAt65535",
     {{Packet(65534, 1, false, Start::kC0), {}}, {Packet(65535, 1, true), {65534, 65535}}}},
};

INSTANTIATE_TEST_SUITE_P(Frames, ReorderScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& p) {
                           return std::string(p.param.name);
                         });

// ---------------------------------------------------------------------------
// Drop rule

// Entry 0 is no frame start and blocks the complete frame 1..59 behind it.
// With 60 entries nothing is dropped; the 61st drops entry 0 (its own
// timestamp run) and everything complete behind it goes out in that call.
TEST(ReorderDrop, SixtyEntriesWaitTheSixtyFirstDropsTheFrontRun) {
  TestableUDP udp;
  RecordingReceiver host;
  FeedAll(udp, host, {Packet(0, 1, false, Start::kNone)});
  FeedAll(udp, host, Frame(1, 2, 59));
  EXPECT_TRUE(host.calls.empty()) << "dropped at 60 entries";
  // Still buffered: a new copy of seq 0 that would be a whole frame is a duplicate.
  FeedAll(udp, host, {Packet(0, 9, true, Start::kC0)});
  EXPECT_TRUE(host.calls.empty());

  FeedAll(udp, host, {Packet(100, 3, true, Start::kC0)});
  Seqs expected = Range(1, 59);
  expected.push_back(100);
  EXPECT_EQ(host.Seqs(), expected);
}

// The drop takes the leading run of entries sharing the first entry's
// timestamp, stops at the first other timestamp and ignores later entries
// with the same timestamp.
TEST(ReorderDrop, DropTakesOnlyTheLeadingTimestampRun) {
  TestableUDP udp;
  RecordingReceiver host;
  FeedAll(udp, host, {Packet(0, 7, false), Packet(1, 7, false, Start::kC0), Packet(2, 7, false)});
  FeedAll(udp, host, {Packet(3, 8, true, Start::kC0)});
  std::vector<std::string> open = Frame(4, 9, 57);
  open.pop_back();  // 4..59 without the marked packet: 56 entries
  FeedAll(udp, host, open);
  EXPECT_TRUE(host.calls.empty());
  FeedAll(udp, host, {Packet(60, 7, false)});  // 61st entry
  EXPECT_EQ(host.Seqs(), Seqs{3});
  // Entry 60 survived the drop: a marked copy of it is a duplicate and the
  // frame 4.. stays incomplete.
  host.calls.clear();
  FeedAll(udp, host, {Packet(60, 9, true)});
  EXPECT_TRUE(host.calls.empty());
}

TEST(ReorderDrop, DeleteFirstOnEmptyMapIsHarmless) {
  TestableUDP udp;
  udp.deleteFirstUnIntractFrame();
  RecordingReceiver host;
  FeedAll(udp, host, {Packet(1, 1, true, Start::kC0)});
  EXPECT_EQ(host.Seqs(), Seqs{1});
}

// A frame spanning 65535 -> 0 is consecutive for the running check, but 0
// sorts first: entry 0 (no frame start) blocks the front until the drop rule
// removes it, while 65534 and 65535 stay behind every newer, lower entry and
// keep their numbers taken.
TEST(ReorderDrop, FrameAcrossWrapIsNeverDelivered) {
  TestableUDP udp;
  RecordingReceiver host;
  FeedAll(udp, host,
          {Packet(65534, 1, false, Start::kC0), Packet(65535, 1, false), Packet(0, 1, true)});
  // One-packet frames 1..58 bring the map to 61 entries.
  for (std::uint16_t s = 1; s <= 58; ++s) {
    FeedAll(udp, host, {Packet(s, 100u + s, true, Start::kC0)});
  }
  EXPECT_EQ(host.Seqs(), Range(1, 58));
  host.calls.clear();
  // 65534 and 65535 are still buffered: their numbers are duplicates...
  FeedAll(udp, host, {Packet(65534, 500, true, Start::kC0)});
  EXPECT_TRUE(host.calls.empty());
  // ...while lower numbers, now at the front, go straight out.
  FeedAll(udp, host, {Packet(59, 600, true, Start::kC0)});
  EXPECT_EQ(host.Seqs(), Seqs{59});
}

// ---------------------------------------------------------------------------
// Refusal and host exceptions

TEST(ReorderRefusal, RefusedFrameStaysWholeAndIsOfferedAgainFromItsFirstPacket) {
  TestableUDP udp;
  RecordingReceiver host;
  host.verdict = [](const RecordingReceiver::Call&, std::size_t n) { return n != 2; };
  const std::vector<std::string> frame = Frame(1, 10, 3);
  EXPECT_TRUE(udp.Execute(&host, frame[0], false, nullptr));
  EXPECT_TRUE(udp.Execute(&host, frame[1], false, nullptr));
  EXPECT_FALSE(udp.Execute(&host, frame[2], false, nullptr));
  EXPECT_EQ(host.Seqs(), (Seqs{1, 2}));
  // The next packet finds the frame complete and offers it whole again.
  EXPECT_TRUE(udp.Execute(&host, Packet(4, 20, false, Start::kC0), false, nullptr));
  EXPECT_EQ(host.Seqs(), (Seqs{1, 2, 1, 2, 3}));
  EXPECT_TRUE(udp.Execute(&host, Packet(5, 20, true), false, nullptr));
  EXPECT_EQ(host.Seqs(), (Seqs{1, 2, 1, 2, 3, 4, 5}));
}

TEST(ReorderRefusal, HostExceptionBecomesFalseAndKeepsTheFrame) {
  TestableUDP udp;
  RecordingReceiver host;
  host.verdict = [](const RecordingReceiver::Call&, std::size_t n) -> bool {
    if (n == 1) throw std::runtime_error("host");
    return true;
  };
  EXPECT_FALSE(udp.Execute(&host, Packet(1, 1, true, Start::kC0), false, nullptr));
  EXPECT_TRUE(udp.Execute(&host, Packet(2, 2, true, Start::kC0), false, nullptr));
  EXPECT_EQ(host.Seqs(), (Seqs{1, 1, 2}));
}

// ---------------------------------------------------------------------------
// Packet lengths and a null receiver

struct LengthCase {
  std::size_t length;
  bool accepted;
};

class ReorderLength : public ::testing::TestWithParam<LengthCase> {};

// Refused packets are not buffered: afterwards their sequence number is free.
TEST_P(ReorderLength, AcceptsTwelveToFiveThousandBytes) {
  const LengthCase lc = GetParam();
  TestableUDP udp;
  RecordingReceiver host;
  const std::string p = Packet(9, 1, false, Start::kNone, lc.length);
  EXPECT_EQ(udp.Execute(&host, p, false, nullptr), lc.accepted);
  EXPECT_TRUE(host.calls.empty());
  EXPECT_TRUE(udp.Execute(&host, Packet(9, 2, true, Start::kC0), false, nullptr));
  EXPECT_EQ(host.calls.size(), lc.accepted ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReorderLength,
                         ::testing::Values(LengthCase{0, false}, LengthCase{3, false},
                                           LengthCase{4, false}, LengthCase{11, false},
                                           LengthCase{12, true}, LengthCase{15, true},
                                           LengthCase{16, true}, LengthCase{5000, true},
                                           LengthCase{5001, false}, LengthCase{70000, false}));

TEST(ReorderLength, FiveThousandBytePacketIsDeliveredIntact) {
  TestableUDP udp;
  RecordingReceiver host;
  const std::string p = Packet(1, 1, true, Start::kC0, 5000);
  EXPECT_TRUE(udp.Execute(&host, p, false, nullptr));
  ASSERT_EQ(host.calls.size(), 1u);
  EXPECT_EQ(host.calls[0].data, p);
}

// Every length from 0 to 70000, through Execute and through recvIntactFrame
// with the packet placed flush against the end of a heap block: under
// AddressSanitizer any read past a packet or write past a pooled buffer
// aborts the test. (One block for all lengths: a fresh allocation per length
// would cycle the sanitizer's quarantine and take many seconds.)
TEST(ReorderLength, NoAccessOutsideAnyPacketUpTo70000Bytes) {
#if REORDER_TEST_TSAN
  GTEST_SKIP() << "bounds are proven by the AddressSanitizer build; slow under ThreadSanitizer";
#endif
  constexpr std::size_t kMax = 70000;
  TestableUDP udp;
  RecordingReceiver host;
  const std::string model = Packet(0, 0, true, Start::kC0, 5016);
  std::unique_ptr<char[]> block(new char[kMax]);
  std::memset(block.get(), 0x55, kMax);
  std::size_t delivered = 0;
  for (std::size_t len = 0; len <= kMax; ++len) {
    // A one-packet frame numbered and stamped `len`, cut to `len` bytes.
    char* flush = block.get() + (kMax - len);
    std::memcpy(flush, model.data(), std::min(len, model.size()));
    const unsigned char numbers[6] = {
        static_cast<unsigned char>(len >> 8),  static_cast<unsigned char>(len),
        static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
        static_cast<unsigned char>(len >> 8),  static_cast<unsigned char>(len)};
    for (std::size_t i = 2; i < 8 && i < len; ++i) flush[i] = static_cast<char>(numbers[i - 2]);
    const std::string p(flush, len);

    ASSERT_EQ(udp.Execute(&host, p, false, nullptr), len >= 12 && len <= 5000) << len;
    bool threw = false;
    try {
      udp.recvIntactFrame(&host, flush, static_cast<unsigned int>(len));
    } catch (const std::invalid_argument&) {
      threw = true;
    }
    ASSERT_EQ(threw, len < 12 || len > 5000) << len;
    for (; delivered < host.calls.size(); ++delivered) {
      const std::string& got = host.calls[delivered].data;
      ASSERT_EQ(got.size(), static_cast<std::size_t>(SeqOf(got)));
      ASSERT_EQ(got.compare(16, std::string::npos, model, 16, got.size() - 16), 0);
    }
  }
  EXPECT_GT(delivered, 4000u);
}

TEST(ReorderNullReceiver, PacketIsRefusedAndNotBuffered) {
  TestableUDP udp;
  EXPECT_FALSE(udp.Execute(nullptr, Packet(1, 1, true, Start::kC0), false, nullptr));
  // A file header without a receiver takes the packet path and is refused too.
  EXPECT_FALSE(udp.Execute(nullptr, Packet(2, 1, true, Start::kC0), true, nullptr));
  RecordingReceiver host;
  const std::string second = Packet(1, 1, true, Start::kC0, 100);
  EXPECT_TRUE(udp.Execute(&host, second, false, nullptr));
  ASSERT_EQ(host.calls.size(), 1u);
  EXPECT_EQ(host.calls[0].data, second);
}

// ---------------------------------------------------------------------------
// Lifetime and threads

// Destroyed with packets buffered (several pool blocks' worth): nothing is
// delivered; under AddressSanitizer a buffer or count left behind, or one
// returned to a pool already freed, fails the run.
TEST(ReorderLifetime, DestroyWithPacketsBufferedDeliversNothing) {
  RecordingReceiver host;
  auto* udp = new TestableUDP(4);
  for (std::uint16_t s = 1; s <= 60; ++s) {
    ASSERT_TRUE(udp->Execute(&host, Packet(s, 1, false, s == 1 ? Start::kC0 : Start::kNone), false,
                             nullptr));
  }
  delete udp;

  CRTPReceiverOnUDP* viaDestroy = new CRTPReceiverOnUDP(1);
  for (std::uint16_t s = 10; s <= 30; ++s) {
    ASSERT_TRUE(viaDestroy->Execute(&host, Packet(s, 1, false), false, nullptr));
  }
  viaDestroy->Destroy();
  EXPECT_TRUE(host.calls.empty());
}

// Host that fails the test if it is ever entered by two threads at once; its
// plain counter is a data race that ThreadSanitizer reports unless the
// receiver's mutex serialises the calls.
class SerialHost : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool, SDP*) override {
    if (inside.exchange(true)) overlaps.fetch_add(1);
    ++plainCount;
    perThreadSeqs[static_cast<unsigned char>(data[16]) & 1].push_back(
        SeqOf(std::string(data, length)));
    inside.store(false);
    return true;
  }
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  long plainCount = 0;
  std::vector<std::uint16_t> perThreadSeqs[2];
};

// Two threads feed one-packet frames (even and odd numbers) into one
// receiver through the facade: every frame is delivered exactly once, each
// thread's frames in its own order, and the host is never entered twice.
TEST(ReorderThreads, ConcurrentExecuteIsSerialised) {
  SerialHost host;
  host.changeImpl(RTP_RECEIVER_UDP);
  constexpr int kPerThread = 20000;
  auto feed = [&host](int parity) {
    for (int i = 0; i < kPerThread; ++i) {
      const auto seq = static_cast<std::uint16_t>(2 * i + parity);
      std::string p = Packet(seq, static_cast<std::uint32_t>(seq), true, Start::kC0, 200);
      p[16] = static_cast<char>(parity);
      if (!host.Execute(p, false, nullptr)) ADD_FAILURE() << "seq " << seq;
    }
  };
  std::thread even(feed, 0);
  std::thread odd(feed, 1);
  even.join();
  odd.join();
  EXPECT_EQ(host.overlaps.load(), 0);
  EXPECT_EQ(host.plainCount, 2 * kPerThread);
  for (int parity = 0; parity < 2; ++parity) {
    const std::vector<std::uint16_t>& got = host.perThreadSeqs[parity];
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i)
      ASSERT_EQ(got[static_cast<std::size_t>(i)], 2 * i + parity);
  }
}
