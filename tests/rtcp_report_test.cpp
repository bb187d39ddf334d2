// Receiver statistics and the RR + SDES compound packet, checked word by word
// against values worked out by hand from RFC 3550.
#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "rtp/rtcp_report.h"
#include "support/rtp_packet.h"

namespace {

using std::chrono::milliseconds;

const std::uint32_t kSource = 0x11223344;
const std::uint32_t kOwn = 0x01020304;
const std::string kOtherRr("\x80\xC9\x00\x01\x09\x09\x09\x09", 8);  // an empty RR of another sender

// RTP packets of `ssrc` arriving at `ms` milliseconds.
// clang-format off
struct Arrival { unsigned seq; std::uint32_t ts; int ms; std::uint32_t ssrc = kSource; };
// clang-format on
void Feed(RtcpReceiverStats& stats, std::initializer_list<Arrival> arrivals) {
  for (const Arrival& a : arrivals) {
    const std::string p = RtpPacket(a.seq, a.ts, a.ssrc);
    stats.onRtp(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(), milliseconds(a.ms));
  }
}

// One 32-bit word of a report: where, what it should hold, and what it means.
// clang-format off
struct WordRow { std::size_t offset; std::uint32_t value; const char* what; };
// clang-format on

void ExpectWords(const std::string& report, std::initializer_list<WordRow> rows) {
  for (const WordRow& row : rows) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
      v = v << 8 | static_cast<unsigned char>(report.at(row.offset + i));
    EXPECT_EQ(v, row.value) << row.what;
  }
}

// Arrivals at 90 kHz (1 ms = 90 units); transit = arrival - timestamp:
//   seq 65534 ts 0     at   0 ms: transit 0     (first: no jitter yet)
//   seq 65535 ts 3000  at  40 ms: transit 600   |D| 600  J = 37.5
//   seq 1     ts 9000  at 100 ms: transit 0     |D| 600  J = 72.65625
//   seq 0     ts 6000  at 110 ms: transit 3900  |D| 3900 J = 311.865234375
//   (a sender report with NTP time AAAABBBB.CCCCDDDD at 150 ms)
//   seq 3     ts 15000 at 200 ms: transit 3000  |D| 900  J = 348.62...
// Highest 3 after one wrap: extended 65539; expected 65539 - 65534 + 1 = 6,
// received 5, so 1 lost and fraction 256 * 1 / 6 = 42. In the second
// interval 4 and 5 arrive (|D| 600 each: J = 364.33 then 379.06), none lost.
TEST(RtcpReport, ReportsOfAKnownTrace) {
  RtcpReceiverStats stats(90000);
  // Before any packet: no block, and an SDES chunk whose items end in a full word of zeros.
  ExpectWords(stats.buildReport(kOwn, "ab", milliseconds(0)),
              {{0, 0x80C90001, "version 2, no block, RR, 1 word follows"},
               {8, 0x81CA0003, "SDES, one chunk, 3 words follow"},
               {20, 0, "a full word ends the items"}});
  Feed(stats, {{65534, 0, 0}, {65535, 3000, 40}, {1, 9000, 100}, {0, 6000, 110}});
  // The sender report, then an empty RR of another sender in the same packet.
  const std::string sr = SenderReportPacket(kSource, 0xAAAABBBBCCCCDDDDull, 1) + kOtherRr;
  stats.onRtcp(reinterpret_cast<const std::uint8_t*>(sr.data()), sr.size(), milliseconds(150));
  Feed(stats, {{3, 15000, 200}});
  const std::string first = stats.buildReport(kOwn, "rtsppull", milliseconds(400));
  ASSERT_EQ(first.size(), 32u + 20u);
  ExpectWords(first, {{0, 0x81C90007, "version 2, one block, RR, 7 words follow"},
                      {4, kOwn, "sender of the report"},
                      {8, kSource, "source of the block"},
                      {12, 42u << 24 | 1, "fraction lost 42/256, 1 lost in all"},
                      {16, 65539, "extended highest sequence number"},
                      {20, 348, "interarrival jitter"},
                      {24, 0xBBBBCCCC, "LSR: middle of the NTP time"},
                      {28, 16384, "DLSR: 250 ms in 1/65536 s"},
                      {32, 0x81CA0004, "SDES, one chunk, 4 words follow"},
                      {36, kOwn, "SDES chunk of the sender"}});
  EXPECT_EQ(first.substr(40), std::string("\x01\x08rtsppull\0\0", 12)) << "CNAME, end, padding";

  Feed(stats, {{4, 18000, 240}, {5, 21000, 280}});
  ExpectWords(stats.buildReport(kOwn, "rtsppull", milliseconds(500)),
              {{12, 0u << 24 | 1, "fraction lost 0 in the second interval, 1 lost in all"},
               {16, 65541, "extended highest sequence number"},
               {20, 379, "interarrival jitter"}});
}

TEST(RtcpReport, OtherSourcesAndUnconfirmedJumpsAreNotCounted) {
  RtcpReceiverStats stats(90000);
  stats.setSourceSsrc(kSource);
  // 20000: a stray jump, not followed by 20001.
  Feed(stats, {{10, 0, 0}, {11, 0, 0, 0x99999999}, {20000, 0, 0}, {11, 0, 0}});
  EXPECT_EQ(stats.packetsReceived(), 2u);
  ExpectWords(stats.buildReport(kOwn, "x", milliseconds(0)),
              {{16, 11, "extended highest sequence number"}, {24, 0, "no sender report: LSR 0"}});
}

// RFC 3550 6.4.1: the report pairs an NTP time with an RTP timestamp; other
// timestamps are placed by their signed 32-bit distance from it.
TEST(SenderReport, MapsRtpTimestampsToNtpTime) {
  const std::uint64_t kSecond = 1ull << 32;
  const std::uint64_t t0 = 0xE8A1B2C3ull << 32 | 0x40000000u;  // some day in 2023, + 0.25 s
  // clang-format off
  struct Row { const char* name; std::uint64_t srNtp; std::uint32_t srRtp, rtp, clockRate; std::uint64_t want; };
  const Row rows[] = {
      {"the report's own timestamp", t0, 1000, 1000, 90000, t0},
      {"one second later at 90 kHz", t0, 1000, 91000, 90000, t0 + kSecond},
      {"half a second earlier at 48 kHz", t0, 48000, 24000, 48000, t0 - kSecond / 2},
      {"later across the 32-bit wrap", t0, 0xFFFFFF00u, 0x00000100u, 8000, t0 + 512 * kSecond / 8000},
      {"earlier across the wrap", t0, 0x00000010u, 0xFFFFFFF0u, 8000, t0 - 32 * kSecond / 8000},
      {"2^31 - 1 ticks ahead is still later", t0, 0, 0x7FFFFFFFu, 90000, t0 + 0x7FFFFFFFull * kSecond / 90000},
      {"2^31 ticks ahead is earlier", t0, 0, 0x80000000u, 90000, t0 - 0x80000000ull * kSecond / 90000},
      {"into NTP era 1 (February 2036)", 0xFFFFFFFFull << 32 | 0x80000000u, 0, 90000, 90000, 0x80000000ull},
      {"back into era 0", 0x80000000ull, 90000, 0, 90000, 0xFFFFFFFFull << 32 | 0x80000000u},
  };
  // clang-format on
  for (const Row& row : rows) {
    SenderReport report;
    report.ntpTime = row.srNtp;
    report.rtpTime = row.srRtp;
    EXPECT_EQ(ntpTimeOf(report, row.rtp, row.clockRate), row.want) << row.name;
  }
}

TEST(SenderReport, FoundInCompoundPackets) {
  const std::string sr = SenderReportPacket(kSource, 0x0102030405060708ull, 0xA0B0C0D0u);
  const std::string& rr = kOtherRr;
  // clang-format off
  struct Row { const char* name; std::string packet; bool found; };
  const Row rows[] = {{"after a receiver report", rr + sr, true},
                      {"a receiver report alone", rr, false},
                      {"cut short", sr.substr(0, 27), false},
                      {"after a part not of version 2", '\x40' + rr.substr(1) + sr, false}};
  // clang-format on
  for (const Row& row : rows) {
    SenderReport report;
    const auto* data = reinterpret_cast<const std::uint8_t*>(row.packet.data());
    ASSERT_EQ(findSenderReport(data, row.packet.size(), report), row.found) << row.name;
    EXPECT_EQ(report.ntpTime, row.found ? 0x0102030405060708ull : 0) << row.name;
    EXPECT_EQ(report.rtpTime, row.found ? 0xA0B0C0D0u : 0) << row.name;
  }
}

}  // namespace
