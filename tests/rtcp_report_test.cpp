// Receiver statistics and the RR + SDES compound packet, checked word by word
// against values worked out by hand from RFC 3550 (tests/data/rtcp_traces.txt),
// and the sender report: where it is found, and the NTP time it gives.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "rtp/rtcp_report.h"
#include "support/rtp_packet.h"

namespace {

using std::chrono::milliseconds;

const std::uint32_t kSource = 0x11223344;
const std::string kOtherRr("\x80\xC9\x00\x01\x09\x09\x09\x09", 8);  // an empty RR of another sender

// tests/data/rtcp_traces.txt: traces fed to the statistics, the words of their
// reports, and RTP timestamps placed by a sender report.
TEST(RtcpReport, KnownTracesAndTimestamps) {
  std::ifstream in(RTSPPULL_TEST_DATA "/rtcp_traces.txt");
  std::unique_ptr<RtcpReceiverStats> stats;
  std::string name, report;
  for (std::string line; std::getline(in, line);) {
    std::istringstream row(line);
    std::string verb, what;
    std::uint64_t a = 0, b = 0, want = 0;
    std::uint32_t ssrc = kSource, rtp = 0, rate = 0;
    int ms = 0;
    row >> verb;
    if (verb == "case") {
      std::getline(row >> std::ws, name);
      stats = std::make_unique<RtcpReceiverStats>(90000);
    } else if (verb == "source" && row >> std::hex >> ssrc) {
      stats->setSourceSsrc(ssrc);
    } else if (verb == "rtp" && row >> a >> b >> ms) {
      row >> std::hex >> ssrc;
      const std::string p =
          RtpPacket(static_cast<unsigned>(a), static_cast<std::uint32_t>(b), ssrc);
      stats->onRtp(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(), milliseconds(ms));
    } else if (verb == "sr" && row >> ms) {
      const std::string sr = SenderReportPacket(kSource, 0xAAAABBBBCCCCDDDDull, 1) + kOtherRr;
      stats->onRtcp(reinterpret_cast<const std::uint8_t*>(sr.data()), sr.size(), milliseconds(ms));
    } else if (verb == "report" && row >> ms >> what) {
      report = stats->buildReport(0x01020304, what, milliseconds(ms));
    } else if (verb == "size" && row >> a) {
      EXPECT_EQ(report.size(), a) << name;
    } else if (verb == "received" && row >> a) {
      EXPECT_EQ(stats->packetsReceived(), a) << name;
    } else if (verb == "word" && row >> a >> std::hex >> b && std::getline(row >> std::ws, what)) {
      std::uint64_t v = 0;
      for (std::size_t i = 0; i < 4 && a + i < report.size(); ++i)
        v = v << 8 | static_cast<unsigned char>(report[a + i]);
      EXPECT_EQ(v, b) << name << ": " << what;
    } else if (verb == "ntp" &&
               row >> std::hex >> a >> b >> rtp >> std::dec >> rate >> std::hex >> want &&
               std::getline(row >> std::ws, what)) {
      SenderReport sr;
      sr.ntpTime = a;
      sr.rtpTime = static_cast<std::uint32_t>(b);
      EXPECT_EQ(ntpTimeOf(sr, rtp, rate), want) << what;
    } else {
      EXPECT_TRUE(verb.empty() || verb[0] == '#') << "not understood: " << line;
    }
  }
  EXPECT_FALSE(name.empty()) << "no case read";
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
