// Reordering receiver: frame judgement, drop rule, refusal, packet-length
// limits, concurrent callers and destruction with packets buffered.
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

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

// `count` packets sharing `ts`: the first starts the frame, the last is
// marked unless `open`.
Packets Frame(std::uint16_t firstSeq, std::uint32_t ts, int count, bool open = false) {
  Packets out;
  for (int i = 0; i < count; ++i) {
    out.push_back(Packet(static_cast<std::uint16_t>(firstSeq + i), ts, i == count - 1 && !open,
                         i == 0 ? Start::kC0 : Start::kNone));
  }
  return out;
}

// One-packet frames, each with its own timestamp.
Packets Singles(unsigned first, unsigned last) {
  Packets out;
  for (unsigned s = first; s <= last; ++s) {
    out.push_back(Packet(static_cast<std::uint16_t>(s), 100 + s, true, Start::kC0));
  }
  return out;
}

Seqs Range(unsigned first, unsigned last) {
  Seqs out;
  for (unsigned v = first; v <= last; ++v) out.push_back(static_cast<std::uint16_t>(v));
  return out;
}

// Each step files its packets and lists the numbers delivered meanwhile.
// Host call `refuseCall` (1-based, 0: none) is refused, and so is the
// Execute that made it. A delivered packet must be the first copy filed.
struct Step {
  Packets packets;
  Seqs delivered;
};
struct Scenario {
  const char* name;
  std::size_t refuseCall;
  std::vector<Step> steps;
};
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class ReorderScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReorderScenario, DeliversExactlyTheExpectedPackets) {
  TestableUDP udp;
  RecordingReceiver host;
  const std::size_t refuse = GetParam().refuseCall;
  host.verdict = [refuse](std::size_t n) { return n != refuse; };
  std::map<std::uint16_t, std::string> firstCopy;
  for (const Step& step : GetParam().steps) {
    const std::size_t stepStart = host.calls.size();
    for (const std::string& p : step.packets) {
      firstCopy.emplace(SeqOf(p), p);
      const std::size_t before = host.calls.size();
      const bool ok = udp.Execute(&host, p, false, nullptr);
      const std::size_t after = host.calls.size();
      EXPECT_EQ(ok, !(refuse > before && refuse <= after)) << "seq " << SeqOf(p);
      for (std::size_t i = before; i < after; ++i) {
        EXPECT_EQ(host.calls[i], firstCopy[SeqOf(host.calls[i])]);
        if (ok) firstCopy.erase(SeqOf(host.calls[i]));
      }
    }
    const Seqs seqs = host.seqs();
    EXPECT_EQ(Seqs(seqs.begin() + static_cast<long>(stepStart), seqs.end()), step.delivered);
  }
}

const auto kC0 = Start::kC0;

// clang-format off
const Scenario kScenarios[] = {
    {"Reorder312", 0, {{{Packet(3, 100, true)}, {}}, {{Packet(1, 100, false, kC0)}, {}},
                       {{Packet(2, 100, false)}, {1, 2, 3}}}},
    {"OnePacketFrames", 0,
     {{{Packet(10, 5, true, kC0)}, {10}}, {{Packet(11, 6, true, Start::kOne)}, {11}}}},
    {"NonStartFrontBlocks", 0, {{{Packet(5, 1, false), Packet(10, 2, true, kC0)}, {}}}},
    {"DuplicateKeepsFirstCopy", 0,
     {{{Packet(1, 100, false, kC0, 1400, 1), Packet(1, 100, false, kC0, 1400, 2)}, {}},
      {{Packet(2, 100, true)}, {1, 2}}}},
    {"TimestampChangeInsideFrame", 0,
     {{{Packet(1, 1, false, kC0), Packet(2, 2, false), Packet(3, 1, true)}, {}}}},
    {"GapWaitsUntilFilled", 0,
     {{{Packet(1, 1, false, kC0), Packet(2, 1, false), Packet(4, 1, true)}, {}},
      {{Packet(3, 1, false)}, {1, 2, 3, 4}}}},
    // Entry 0 (no frame start) blocks frame 1..59. Sixty entries wait (a new
    // copy of 0 is a duplicate); the 61st drops entry 0 and frees the rest.
    {"SixtyWaitTheSixtyFirstDropsTheFront", 0,
     {{Cat({Packet(0, 1, false)}, Frame(1, 2, 59)), {}}, {{Packet(0, 9, true, kC0)}, {}},
      {{Packet(100, 3, true, kC0)}, Cat(Range(1, 59), {100})}}},
    // The drop takes only the leading run sharing the front's timestamp.
    {"DropTakesOnlyTheLeadingTimestampRun", 0,
     {{Cat({Packet(0, 7, false), Packet(1, 7, false, kC0), Packet(2, 7, false),
            Packet(3, 8, true, kC0)}, Frame(4, 9, 56, true)), {}},
      {{Packet(60, 7, false)}, {3}}, {{Packet(60, 9, true)}, {}}}},
    // A refused frame stays whole and is offered again from its first packet.
    {"RefusedFrameIsOfferedAgain", 2,
     {{Frame(1, 10, 3), {1, 2}}, {{Packet(4, 20, false, kC0)}, {1, 2, 3}},
      {{Packet(5, 20, true)}, {4, 5}}}},
    // 0 sorts before 65534/65535: the frame across the wrap is never delivered
    // and keeps its numbers taken.
    {"FrameAcrossWrapIsNeverDelivered", 0,
     {{{Packet(65534, 1, false, kC0), Packet(65535, 1, false), Packet(0, 1, true)}, {}},
      {Singles(1, 58), Range(1, 58)},
      {{Packet(65534, 500, true, kC0)}, {}}}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Frames, ReorderScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& p) {
                           return std::string(p.param.name);
                         });

// Every length from 0 to 70000, through Execute and recvIntactFrame, with the
// packet flush against the end of a heap block: AddressSanitizer catches a
// read past it. 12 to 5000 bytes are accepted.
TEST(ReorderLength, NoAccessOutsideAnyPacketUpTo70000Bytes) {
#if REORDER_TEST_TSAN
  GTEST_SKIP() << "bounds are checked by the AddressSanitizer build";
#endif
  constexpr std::size_t kMax = 70000;
  TestableUDP udp;
  RecordingReceiver host;
  const std::string model = Packet(0, 0, true, Start::kC0, 5016);
  std::unique_ptr<char[]> block(new char[kMax]());
  std::size_t delivered = 0;
  for (std::size_t len = 0; len <= kMax; ++len) {
    // A one-packet frame numbered and stamped `len`.
    char* flush = block.get() + (kMax - len);
    std::memcpy(flush, model.data(), std::min(len, model.size()));
    const unsigned char numbers[6] = {
        static_cast<unsigned char>(len >> 8),  static_cast<unsigned char>(len),
        static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
        static_cast<unsigned char>(len >> 8),  static_cast<unsigned char>(len)};
    for (std::size_t i = 2; i < 8 && i < len; ++i) flush[i] = static_cast<char>(numbers[i - 2]);
    const bool valid = len >= 12 && len <= 5000;
    ASSERT_EQ(udp.Execute(&host, std::string(flush, len), false, nullptr), valid) << len;
    bool threw = false;
    try {
      udp.recvIntactFrame(&host, flush, static_cast<unsigned int>(len));
    } catch (const std::invalid_argument&) {
      threw = true;
    }
    ASSERT_EQ(threw, !valid) << len;
    for (; delivered < host.calls.size(); ++delivered) {
      const std::string& got = host.calls[delivered];
      ASSERT_EQ(got.size(), static_cast<std::size_t>(SeqOf(got)));
      ASSERT_EQ(got.compare(16, std::string::npos, model, 16, got.size() - 16), 0);
    }
  }
  EXPECT_GT(delivered, 4000u);
}

// Under AddressSanitizer a buffer left behind or returned to a freed pool fails.
TEST(ReorderLifetime, DestroyWithPacketsBufferedDeliversNothing) {
  RecordingReceiver host;
  auto* udp = new TestableUDP(4);
  for (const std::string& p : Frame(1, 1, 60, true)) udp->Execute(&host, p, false, nullptr);
  delete udp;
  CRTPReceiverOnUDP* viaDestroy = new CRTPReceiverOnUDP(1);
  for (const std::string& p : Frame(1, 1, 21, true)) viaDestroy->Execute(&host, p, false, nullptr);
  viaDestroy->Destroy();
  EXPECT_TRUE(host.calls.empty());
}

// The plain counter is a data race ThreadSanitizer reports unless the
// receiver serialises its callers.
class SerialHost : public IRTPReceiver {
 public:
  bool OnRecvData(const char*, unsigned int, bool, SDP*) override {
    if (inside.exchange(true)) overlaps.fetch_add(1);
    ++plainCount;
    inside.store(false);
    return true;
  }
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  long plainCount = 0;
};

TEST(ReorderThreads, ConcurrentExecuteIsSerialised) {
  SerialHost host;
  host.changeImpl(RTP_RECEIVER_UDP);
  constexpr int kPerThread = 20000;
  auto feed = [&host](int parity) {
    for (int i = 0; i < kPerThread; ++i) {
      const auto seq = static_cast<std::uint16_t>(2 * i + parity);
      if (!host.Execute(Packet(seq, seq, true, Start::kC0, 200), false, nullptr)) ADD_FAILURE();
    }
  };
  std::thread even(feed, 0), odd(feed, 1);
  even.join();
  odd.join();
  EXPECT_EQ(host.overlaps.load(), 0);
  EXPECT_EQ(host.plainCount, 2 * kPerThread);
}

}  // namespace
