// Reordering receiver: header parsing, frame judgement, drop rule, refusal,
// packet-length limits and serialisation of concurrent callers.
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <rtsppull/sdp.h>

#include "reorder_test_util.h"

#if defined(__SANITIZE_THREAD__)
#define REORDER_TEST_TSAN 1
#elif defined(__has_feature)
#define REORDER_TEST_TSAN __has_feature(thread_sanitizer)
#else
#define REORDER_TEST_TSAN 0
#endif

using namespace reorder_test;

namespace {

using Packets = std::vector<std::string>;

template <typename T>
std::vector<T> Cat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A frame of `count` packets from `firstSeq`: the first begins the frame, all
// share `ts`, and the last carries the marker unless `open`.
Packets Frame(std::uint16_t firstSeq, std::uint32_t ts, int count, bool open = false) {
  Packets out;
  for (int i = 0; i < count; ++i) {
    out.push_back(Packet(static_cast<std::uint16_t>(firstSeq + i), ts, i == count - 1 && !open,
                         i == 0 ? Start::kC0 : Start::kNone));
  }
  return out;
}

// One-packet frames `first` to `last`, each with its own timestamp.
Packets Singles(std::uint16_t first, std::uint16_t last) {
  Packets out;
  for (unsigned s = first; s <= last; ++s) {
    out.push_back(Packet(static_cast<std::uint16_t>(s), 100 + s, true, Start::kC0));
  }
  return out;
}

Seqs Range(std::uint16_t first, std::uint16_t last) {
  Seqs out;
  for (unsigned v = first; v <= last; ++v) out.push_back(static_cast<std::uint16_t>(v));
  return out;
}

}  // namespace

TEST(ReorderBasics, FileHeaderBypassesTheBufferAndReturnsTheHostVerdict) {
  SDP sdp;
  for (bool verdict : {true, false}) {
    TestableUDP udp(7);
    RecordingReceiver host;
    host.verdict = [verdict](std::size_t) { return verdict; };
    // Too short to be a packet, or a marked frame start: neither matters for
    // a header.
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
    EXPECT_EQ(host.seqs(), Seqs{1});
  }
}

// A host exception on a file header reaches the caller; on a packet it
// becomes false and the frame stays buffered. Either way the lock is free
// again (a second call would deadlock otherwise).
TEST(ReorderBasics, HostExceptions) {
  TestableUDP udp;
  RecordingReceiver host;
  host.verdict = [](std::size_t n) -> bool {
    if (n <= 2) throw std::runtime_error("host");
    return true;
  };
  EXPECT_THROW(udp.Execute(&host, "hdr", true, nullptr), std::runtime_error);
  EXPECT_FALSE(udp.Execute(&host, Packet(1, 1, true, Start::kC0), false, nullptr));
  EXPECT_TRUE(udp.Execute(&host, Packet(2, 2, true, Start::kC0), false, nullptr));
  EXPECT_EQ(host.seqs(), (Seqs{0xFFFF, 1, 1, 2}));
}

// The fixed header, parsed byte by byte from a packet cut at every length up
// to 16: the fields its bytes cover are parsed, the rest are zero. Each
// packet is shrunk from a longer string of 0xFF, so stale bytes sit right
// behind its end: reading them would show.
TEST(ReorderHeader, ParsesOnlyTheFieldsThePacketCovers) {
  TestableUDP udp;
  const std::string head(
      "\x82\xE0\x12\x34\x00\x00\x00\x0A\xDE\xAD\xBE\xEF"
      "abcd",
      16);
  for (std::size_t len = 0; len <= 16; ++len) {
    SCOPED_TRACE(len);
    std::string p(20, static_cast<char>(0xFF));
    p.replace(0, len, head, 0, len);
    p.resize(len);
    CRTPReceiverOnUDP::RTP hdr;
    const char* payload = nullptr;
    int payloadLength = -1;
    udp.initRTPHeader(p, hdr, payload, payloadLength);
    EXPECT_EQ(hdr.version, len >= 1 ? 2 : 0);
    EXPECT_EQ(hdr.csrcCount, len >= 1 ? 2 : 0);  // the CSRC list is not skipped
    EXPECT_EQ(hdr.padding + hdr.extension, 0);
    EXPECT_EQ(hdr.marker, len >= 2 ? 1 : 0);
    EXPECT_EQ(hdr.payloadType, len >= 2 ? 0x60 : 0);
    EXPECT_EQ(hdr.seqNo, len >= 4 ? 0x1234 : 0);
    EXPECT_EQ(hdr.timestamp, len >= 8 ? 10u : 0u);
    EXPECT_EQ(std::memcmp(&hdr.ssrc, len >= 12 ? "\xDE\xAD\xBE\xEF" : "\0\0\0\0", 4), 0);
    EXPECT_EQ(payload, p.c_str() + std::min<std::size_t>(len, 12));
    EXPECT_EQ(payloadLength, len > 12 ? static_cast<int>(len - 12) : 0);
  }
  std::string p = head;
  p[0] = static_cast<char>(0xBF);  // version 2, padding, extension, 15 CSRCs
  p[1] = 0x7F;                     // marker clear, payload type 127
  CRTPReceiverOnUDP::RTP hdr;
  const char* payload = nullptr;
  int payloadLength = -1;
  udp.initRTPHeader(p, hdr, payload, payloadLength);
  EXPECT_EQ(hdr.padding + hdr.extension, 2);
  EXPECT_EQ(hdr.csrcCount, 15);
  EXPECT_EQ(hdr.marker, 0);
  EXPECT_EQ(hdr.payloadType, 127);
}

// Frame judgement, delivery and the drop rule, table-driven. Each step files
// its packets (every call must succeed) and lists the sequence numbers
// delivered meanwhile. A delivered packet must equal the first copy filed
// under its number since that number was last delivered.
struct Step {
  Packets packets;
  Seqs delivered;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class ReorderScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReorderScenario, DeliversExactlyTheExpectedPackets) {
  TestableUDP udp;
  RecordingReceiver host;
  std::map<std::uint16_t, std::string> firstCopy;
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& step = GetParam().steps[i];
    host.calls.clear();
    for (const std::string& p : step.packets) {
      firstCopy.emplace(SeqOf(p), p);
      ASSERT_TRUE(udp.Execute(&host, p, false, nullptr)) << "seq " << SeqOf(p);
    }
    EXPECT_EQ(host.seqs(), step.delivered);
    for (const RecordingReceiver::Call& c : host.calls) {
      EXPECT_FALSE(c.isFileHeader);
      EXPECT_EQ(c.sdp, nullptr);
      EXPECT_EQ(c.data, firstCopy[SeqOf(c.data)]);
      firstCopy.erase(SeqOf(c.data));
    }
  }
}

const auto kC0 = Start::kC0;
const auto kOne = Start::kOne;

// clang-format off
const Scenario kScenarios[] = {
    {"Reorder312", {{{Packet(3, 100, true)}, {}}, {{Packet(1, 100, false, kC0)}, {}},
                    {{Packet(2, 100, false)}, {1, 2, 3}}, {{Packet(4, 200, false, kC0)}, {}}}},
    // The marked packet completes its frame in the call that files it.
    {"InOrderFrameDeliveredOnItsMarkedPacket",
     {{{Packet(1, 100, false, kOne), Packet(2, 100, false)}, {}},
      {{Packet(3, 100, true)}, {1, 2, 3}}}},
    {"OnePacketFrameDeliveredInFilingCall",
     {{{Packet(10, 5, true, kC0)}, {10}}, {{Packet(11, 6, true, kOne)}, {11}}}},
    {"OnePacketFrameBehindLowerEntryWaits",
     {{{Packet(5, 1, false), Packet(10, 2, true, kC0)}, {}}}},
    {"DuplicateKeepsFirstCopy",
     {{{Packet(1, 100, false, kC0, 1400, 1), Packet(1, 100, false, kC0, 1400, 2)}, {}},
      {{Packet(2, 100, true, Start::kNone, 1400, 1)}, {1, 2}}}},
    // Only buffered numbers are taken: once delivered, a number is free again.
    {"CopyOfDeliveredFrameIsNew",
     {{{Packet(7, 1, true, kC0)}, {7}}, {{Packet(7, 1, true, kC0)}, {7}}}},
    {"OtherByteOrderOfOneIsNoStart", {{{Packet(20, 1, true, Start::kBigEndian)}, {}}}},
    {"StartWordsInsideFrameIgnored",
     {{{Packet(1, 1, false, kC0), Packet(2, 1, false, kC0)}, {}},
      {{Packet(3, 1, true, kOne)}, {1, 2, 3}}}},
    {"TimestampChangeInsideFrame",
     {{{Packet(1, 1, false, kC0), Packet(2, 2, false), Packet(3, 1, true)}, {}}}},
    {"MarkedPacketWithOtherTimestamp", {{{Packet(1, 1, false, kC0), Packet(2, 2, true)}, {}}}},
    {"GapBeforeMarkerWaitsUntilFilled",
     {{{Packet(1, 1, false, kC0), Packet(2, 1, false), Packet(4, 1, true)}, {}},
      {{Packet(3, 1, false)}, {1, 2, 3, 4}}}},
    {"LatePacketCompletesSeveralFrames",
     {{Cat({Packet(2, 10, false), Packet(3, 10, true)}, Cat(Frame(4, 20, 2), Frame(6, 30, 1))), {}},
      {{Packet(1, 10, false, kC0)}, {1, 2, 3, 4, 5, 6}}}},
    // 12 to 15 bytes: buffered, may end a frame, never begin one.
    {"HeaderOnlyPacketEndsFrame",
     {{{Packet(1, 1, false, kC0), Packet(2, 1, true, Start::kNone, 12)}, {1, 2}}}},
    {"FifteenBytePacketNeverBeginsFrame",
     {{{Packet(1, 1, true, kC0, 15), Packet(2, 1, true, kC0)}, {}}}},
    {"FrameEndingAt65535", {{Frame(65534, 1, 2), {65534, 65535}}}},
    // Entry 0 is no frame start and blocks the complete frame 1..59 behind
    // it. With 60 entries nothing is dropped (a new copy of 0 is still a
    // duplicate); the 61st drops entry 0 and everything complete behind it
    // goes out in that call.
    {"SixtyEntriesWaitTheSixtyFirstDropsTheFrontRun",
     {{Cat({Packet(0, 1, false)}, Frame(1, 2, 59)), {}}, {{Packet(0, 9, true, kC0)}, {}},
      {{Packet(100, 3, true, kC0)}, Cat(Range(1, 59), {100})}}},
    // The drop takes the leading run of entries sharing the first entry's
    // timestamp: it stops at the first other timestamp, and entry 60 with
    // the same timestamp survives (a marked copy of it is a duplicate).
    {"DropTakesOnlyTheLeadingTimestampRun",
     {{Cat({Packet(0, 7, false), Packet(1, 7, false, kC0), Packet(2, 7, false),
            Packet(3, 8, true, kC0)}, Frame(4, 9, 56, true)), {}},
      {{Packet(60, 7, false)}, {3}}, {{Packet(60, 9, true)}, {}}}},
    // A frame spanning 65535 -> 0 is consecutive for the running check, but 0
    // sorts first: entry 0 (no frame start) blocks the front until the drop
    // rule removes it, while 65534 and 65535 stay behind every newer, lower
    // entry and keep their numbers taken; lower numbers go straight out.
    {"FrameAcrossWrapIsNeverDelivered",
     {{{Packet(65534, 1, false, kC0), Packet(65535, 1, false), Packet(0, 1, true)}, {}},
      {Singles(1, 58), Range(1, 58)}, {{Packet(65534, 500, true, kC0)}, {}},
      {{Packet(59, 600, true, kC0)}, {59}}}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Frames, ReorderScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& p) {
                           return std::string(p.param.name);
                         });

TEST(ReorderRefusal, RefusedFrameStaysWholeAndIsOfferedAgainFromItsFirstPacket) {
  TestableUDP udp;
  RecordingReceiver host;
  host.verdict = [](std::size_t n) { return n != 2; };
  const Packets frame = Frame(1, 10, 3);
  EXPECT_TRUE(udp.Execute(&host, frame[0], false, nullptr));
  EXPECT_TRUE(udp.Execute(&host, frame[1], false, nullptr));
  EXPECT_FALSE(udp.Execute(&host, frame[2], false, nullptr));
  EXPECT_EQ(host.seqs(), (Seqs{1, 2}));
  // The next packet finds the frame complete and offers it whole again.
  EXPECT_TRUE(udp.Execute(&host, Packet(4, 20, false, Start::kC0), false, nullptr));
  EXPECT_EQ(host.seqs(), (Seqs{1, 2, 1, 2, 3}));
  EXPECT_TRUE(udp.Execute(&host, Packet(5, 20, true), false, nullptr));
  EXPECT_EQ(host.seqs(), (Seqs{1, 2, 1, 2, 3, 4, 5}));
}

// 12 to 5000 bytes are filed; anything else is refused and not buffered, so
// afterwards its sequence number is free. A null receiver refuses too, on
// the packet path even for a file header.
TEST(ReorderLength, AcceptsTwelveToFiveThousandBytesAndNeedsAReceiver) {
  for (std::size_t length : {0, 3, 4, 11, 12, 15, 16, 5000, 5001, 70000}) {
    SCOPED_TRACE(length);
    TestableUDP udp;
    RecordingReceiver host;
    const bool accepted = length >= 12 && length <= 5000;
    EXPECT_EQ(udp.Execute(&host, Packet(9, 1, false, Start::kNone, length), false, nullptr),
              accepted);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(udp.Execute(&host, Packet(9, 2, true, Start::kC0), false, nullptr));
    EXPECT_EQ(host.calls.size(), accepted ? 0u : 1u);
  }
  TestableUDP udp;
  EXPECT_FALSE(udp.Execute(nullptr, Packet(1, 1, true, Start::kC0), false, nullptr));
  EXPECT_FALSE(udp.Execute(nullptr, Packet(2, 1, true, Start::kC0), true, nullptr));
  RecordingReceiver host;
  const std::string second = Packet(1, 1, true, Start::kC0, 100);
  EXPECT_TRUE(udp.Execute(&host, second, false, nullptr));
  ASSERT_EQ(host.calls.size(), 1u);
  EXPECT_EQ(host.calls[0].data, second);
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

// Destroyed with packets buffered (several pool blocks' worth), directly or
// through Destroy: nothing is delivered; under AddressSanitizer a buffer or
// count left behind, or one returned to a pool already freed, fails the run.
TEST(ReorderLifetime, DestroyWithPacketsBufferedDeliversNothing) {
  RecordingReceiver host;
  auto* udp = new TestableUDP(4);
  for (const std::string& p : Frame(1, 1, 60, true))
    ASSERT_TRUE(udp->Execute(&host, p, false, nullptr));
  delete udp;
  CRTPReceiverOnUDP* viaDestroy = new CRTPReceiverOnUDP(1);
  for (const std::string& p : Frame(10, 1, 21, true)) {
    ASSERT_TRUE(viaDestroy->Execute(&host, p, false, nullptr));
  }
  viaDestroy->Destroy();
  EXPECT_TRUE(host.calls.empty());
}

// Host that counts overlapping calls; its plain counter is a data race that
// ThreadSanitizer reports unless the receiver's mutex serialises the calls.
class SerialHost : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool, SDP*) override {
    if (inside.exchange(true)) overlaps.fetch_add(1);
    ++plainCount;
    perThreadSeqs[data[16] & 1].push_back(SeqOf(std::string(data, length)));
    inside.store(false);
    return true;
  }
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  long plainCount = 0;
  Seqs perThreadSeqs[2];
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
      std::string p = Packet(seq, seq, true, Start::kC0, 200);
      p[16] = static_cast<char>(parity);
      if (!host.Execute(p, false, nullptr)) ADD_FAILURE() << "seq " << seq;
    }
  };
  std::thread even(feed, 0), odd(feed, 1);
  even.join();
  odd.join();
  EXPECT_EQ(host.overlaps.load(), 0);
  EXPECT_EQ(host.plainCount, 2 * kPerThread);
  for (int parity = 0; parity < 2; ++parity) {
    ASSERT_EQ(host.perThreadSeqs[parity].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) {
      ASSERT_EQ(host.perThreadSeqs[parity][static_cast<std::size_t>(i)], 2 * i + parity);
    }
  }
}
