// The rtsp-pull tool's URL parsing, failure explanations, Annex B and
// rtpdump output, and the capture of the library's diagnostics.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "annexb_writer.h"
#include "diagnosis.h"
#include "library_output.h"
#include "rtpdump_writer.h"
#include "url.h"

namespace {

using namespace rtsp_pull;

TEST(RtspUrlParse, AcceptedUrls) {
  const struct {
    const char* text;
    const char* host;
    unsigned int port;
    const char* path;
  } cases[] = {
      {"rtsp://camera.local:8554/live", "camera.local", 8554, "live"},
      {"RTSP://10.0.0.7/live/main", "10.0.0.7", 554, "live/main"},
      {"Rtsp://cam_1/ch?sub=1#frag", "cam_1", 554, "ch?sub=1"},
      {"rtsp://host", "host", 554, ""},
      {"rtsp://host:65535/", "host", 65535, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RtspUrl url;
    std::string error;
    ASSERT_TRUE(parseRtspUrl(c.text, url, error)) << error;
    EXPECT_EQ(url.host, c.host);
    EXPECT_EQ(url.port, c.port);
    EXPECT_EQ(url.path, c.path);
  }
}

TEST(RtspUrlParse, RefusedUrlsSayWhy) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"http://host/live", "rtsp://"},
      {"rtsp:/host/live", "rtsp://"},
      {"rtsp://host:0/live", "port"},
      {"rtsp://host:65536/live", "port"},
      {"rtsp://host:/live", "port"},
      {"rtsp://host:55x/live", "port"},
      {"rtsp://user:pw@host/live", "credentials"},
      {"rtsp://[::1]:554/live", "IPv6"},
      {"rtsp:///live", "no host"},
      {"rtsp://host/li ve", "white space"},
      {"rtsp://host/live\r\nX: y", "control"},
      {"rtsp://ho$t/live", "host"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RtspUrl url;
    url.host = "unchanged";
    std::string error;
    EXPECT_FALSE(parseRtspUrl(c.text, url, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(url.host, "unchanged");
  }
}

HandshakeTranscript transcriptOf(const std::vector<std::string>& lines) {
  HandshakeTranscript t;
  for (const std::string& line : lines) t.addLine(line);
  return t;
}

TEST(HandshakeDiagnosis, ExplainsTheStepThatFailed) {
  const RtspUrl url{"cam", 8554, "live"};
  const std::vector<std::string> options = {"OPTIONS Rtsp://cam:8554/live RTSP/1.0", "CSeq: 1", ""};
  const std::vector<std::string> describe = {"DESCRIBE Rtsp://cam:8554/live RTSP/1.0", "CSeq: 2",
                                             "Accept: application/sdp", ""};
  auto concat = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    const char* name;
    std::vector<std::string> lines;
    const char* expected;
  } cases[] = {
      {"404 on DESCRIBE",
       concat(concat(options, {"RTSP/1.0 200 OK", "CSeq: 1", ""}),
              concat(describe, {"RTSP/1.0 404 Not Found", "Not Found!", "CSeq: 2", ""})),
       "refused DESCRIBE: \"RTSP/1.0 404 Not Found\". Check the stream path \"/live\""},
      {"401 on OPTIONS", concat(options, {"RTSP/1.0 401 Unauthorized", "Unauthorized!"}),
       "does not support"},
      {"not RTSP/1.0", concat(options, {"HTTP/1.1 400 Bad Request"}), "not an RTSP/1.0"},
      {"silence after OPTIONS", options, "no reply to OPTIONS"},
      {"DESCRIBE body missing", concat(describe, {"RTSP/1.0 200 OK", "CSeq: 2", ""}),
       "session description could not be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = explainHandshakeFailure(transcriptOf(c.lines), url, ConnectProbe());
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
  EXPECT_EQ(rtspStatusCode("RTSP/1.0 454 Session Not Found"), 454);
  EXPECT_EQ(rtspStatusCode("RTSP/1.1 200 OK"), 0);
  EXPECT_EQ(rtspStatusCode("RTSP/1.0 2"), 0);
}

TEST(LibraryOutputCapture, FeedsLinesSplitAcrossWritesAndHidesThem) {
  std::ostringstream target;
  {
    LibraryOutput capture(nullptr);
    capture.install(target);
    target << "OPTIONS Rtsp://h:554/x RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    target << "RTSP/1.0 40" << 4 << " Not Found\r\n" << std::flush;
    target << "Not Found!\n";
    const HandshakeTranscript t = capture.transcript();
    EXPECT_EQ(t.lastRequest(), "OPTIONS");
    EXPECT_EQ(t.lastStatusLine(), "RTSP/1.0 404 Not Found");
  }
  EXPECT_EQ(target.str(), "");  // nothing reached the stream's own buffer
  target << "after";
  EXPECT_EQ(target.str(), "after");  // the previous buffer is back
}

// Writes each unit as an access unit of its own.
void collect(AnnexBWriter& writer, const std::vector<std::vector<uint8_t>>& units) {
  for (const auto& u : units) {
    writer.onNal(u.data(), u.size());
    writer.onAccessUnitEnd();
  }
  writer.flush();
}

TEST(AnnexBOutput, ParameterSetsFirstThenFromTheFirstKeyframe) {
  std::string out;
  AnnexBWriter writer([&out](const char* d, size_t n) { return out.append(d, n), true; }, true, 0);
  writer.writeParameterSets("\x67\x01", "\x68\x02");
  collect(writer, {{0x41, 1}, {0x06, 5}, {0x67, 3}, {0x65, 4}, {0x41, 5}});
  const std::string sc("\0\0\0\1", 4);
  EXPECT_EQ(
      out, sc + "\x67\x01" + sc + "\x68\x02" + sc + "\x67\x03" + sc + "\x65\x04" + sc + "\x41\x05");
  EXPECT_EQ(writer.frames(), 2u);
}

TEST(AnnexBOutput, AnnouncedPpsSizeIgnoresWhatFollowsIt) {
  EXPECT_EQ(
      announcedPpsSize("a=fmtp:96 sprop-parameter-sets=Z0LAFdoF,aM48gA==;profile-level-id=42c015"
                       "\r\n"),
      4u);
  EXPECT_EQ(announcedPpsSize("a=fmtp:96 sprop-parameter-sets=Z0IA,aM48gAAB\r\n"), 6u);
  EXPECT_EQ(announcedPpsSize("a=fmtp:96 sprop-parameter-sets=Z0IA,aM48,aO48\r\n"), 3u);
  EXPECT_EQ(announcedPpsSize("a=fmtp:96 packetization-mode=1,2\r\n"), std::string::npos);
  EXPECT_EQ(announcedPpsSize("a=fmtp:96 sprop-parameter-sets=Z0IA\r\n"), std::string::npos);
}

TEST(AnnexBOutput, FrameLimitStopsWritingAndFailureIsKept) {
  std::string out;
  AnnexBWriter limited([&out](const char* d, size_t n) { return out.append(d, n), true; }, false,
                       2);
  collect(limited, {{0x41, 1}, {0x41, 2}, {0x41, 3}});
  EXPECT_EQ(limited.frames(), 2u);
  EXPECT_TRUE(limited.limitReached());
  EXPECT_EQ(out.size(), 12u);

  AnnexBWriter failing([](const char*, size_t) { return false; }, false, 0);
  collect(failing, {{0x41, 1}});
  EXPECT_TRUE(failing.failed());
  EXPECT_FALSE(failing.flush());
}

TEST(RtpdumpFormat, PreambleAndRecords) {
  EXPECT_EQ(
      rtpdumpPreamble(0x01020304, 0x0A0B0C0D, 0x7F000001, 8554),
      "#!rtpplay1.0 127.0.0.1/8554\n" +
          std::string("\x01\x02\x03\x04\x0A\x0B\x0C\x0D\x7F\x00\x00\x01\x21\x6A\x00\x00", 16));

  const uint8_t packet[] = {0x80, 96, 0, 1, 9};
  EXPECT_EQ(rtpdumpRecord(packet, sizeof packet, 0x10203, false),
            std::string("\x00\x0D\x00\x05\x00\x01\x02\x03\x80\x60\x00\x01\x09", 13));
  EXPECT_EQ(rtpdumpRecord(packet, sizeof packet, 0, true).substr(0, 4),
            std::string("\x00\x0D\x00\x00", 4));  // RTCP: packet length 0

  // The largest interleaved payload does not fit a record whole: it is cut,
  // and the packet length keeps the original size.
  const std::vector<uint8_t> big(65535, 0x55);
  const std::string cut = rtpdumpRecord(big.data(), big.size(), 0, false);
  EXPECT_EQ(cut.size(), 0xFFFFu);
  EXPECT_EQ(cut.substr(0, 4), std::string("\xFF\xFF\xFF\xFF", 4));
}

}  // namespace
