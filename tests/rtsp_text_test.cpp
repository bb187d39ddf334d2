// The pure text functions of the session options: Session header, header
// lookup, start lines, Public lists, path escaping, control URL resolution
// and rtsp:// URLs.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/rtsp_text.h"

namespace {

using namespace rtsptext;

TEST(RtspText, SessionHeader) {
  struct Row {
    std::string value, id;
    int timeoutSec;
  };
  // clang-format off
  const Row rows[] = {
      {"12345678", "12345678", -1},
      {"12345678; timeout=30", "12345678", 30},
      {" 12345678 ;TimeOut = 4 ", "12345678", 4},
      {"abc;other=1;timeout=60", "abc", 60},
      {"abc;timeout=", "abc", -1},
      {"abc;timeout=0", "abc", -1},
      {"abc;timeout=x9", "abc", -1},
      {"abc;timeout=9999999999999", "abc", 999999999},
      {"", "", -1},
  };
  // clang-format on
  for (const Row& row : rows) {
    const SessionHeader parsed = parseSessionHeader(row.value);
    EXPECT_EQ(parsed.id, row.id) << row.value;
    EXPECT_EQ(parsed.timeoutSec, row.timeoutSec) << row.value;
  }
}

TEST(RtspText, HeadersAndStartLines) {
  const std::string head =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: 3\r\nWWW-Authenticate: Digest realm=\"a\"\r\n"
      "www-authenticate:Basic realm=\"a\"\r\nPublic: OPTIONS, DESCRIBE,GET_PARAMETER\r\n\r\n";
  EXPECT_EQ(headerValues(head, "WWW-Authenticate"),
            (std::vector<std::string>{"Digest realm=\"a\"", "Basic realm=\"a\""}));
  EXPECT_EQ(headerValue(head, "cseq"), "3");
  EXPECT_EQ(headerValue(head, "Location"), "");
  EXPECT_EQ(headerValue("CSeq: 9\r\n\r\n", "CSeq"), "") << "the first line is never a header";
  EXPECT_TRUE(listsMethod(headerValue(head, "Public"), "GET_PARAMETER"));
  EXPECT_TRUE(listsMethod(headerValue(head, "Public"), "describe"));
  EXPECT_FALSE(listsMethod(headerValue(head, "Public"), "PLAY"));
  EXPECT_FALSE(listsMethod("GET_PARAMETERS", "GET_PARAMETER"));

  EXPECT_EQ(startLine(head), "RTSP/1.0 401 Unauthorized");
  struct Row {
    std::string line;
    int status;
    std::string method;
  };
  // clang-format off
  const Row rows[] = {
      {"RTSP/1.0 200 OK", 200, ""},
      {"RTSP/1.0 454", 454, ""},
      {"RTSP/2.0 302 Found", 302, ""},
      {"RTSP/1.0 20 OK", 0, ""},
      {"RTSP/1.0 2000 OK", 0, ""},
      {"OPTIONS * RTSP/1.0", 0, "OPTIONS"},
      {"GET_PARAMETER rtsp://h/x RTSP/1.0", 0, "GET_PARAMETER"},
      {"options * RTSP/1.0", 0, ""},
      {"OPTIONS  RTSP/1.0", 0, ""},
      {"OPTIONS * HTTP/1.1", 0, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    EXPECT_EQ(replyStatus(row.line), row.status) << row.line;
    EXPECT_EQ(requestMethod(row.line), row.method) << row.line;
  }
}

TEST(RtspText, PathEscapingAndUrlResolution) {
  EXPECT_EQ(escapePath("live/cam 1/ch%1?x#y"), "live/cam%201/ch%251%3Fx%23y");
  EXPECT_EQ(escapePath("a-b._~!$&'()*+,;=:@/Z9"), "a-b._~!$&'()*+,;=:@/Z9");
  EXPECT_EQ(escapePath("\xC3\xA9"), "%C3%A9");

  struct Row {
    std::string base, reference, resolved;
  };
  // clang-format off
  const Row rows[] = {
      {"rtsp://h:554/live/", "trackID=1", "rtsp://h:554/live/trackID=1"},
      {"rtsp://h:554/live", "trackID=1", "rtsp://h:554/live/trackID=1"},
      {"rtsp://h:554/live/", "*", "rtsp://h:554/live/"},
      {"rtsp://h:554/live/", "", "rtsp://h:554/live/"},
      {"rtsp://h:554/live/", "rtsp://o:8554/t/1", "rtsp://o:8554/t/1"},
      {"rtsp://h:554/live/", "RTSP://o/t", "RTSP://o/t"},
      {"rtsp://h:554/live/x", "/other/t=2", "rtsp://h:554/other/t=2"},
      {"rtsp://h:554", "/t", "rtsp://h:554/t"},
  };
  // clang-format on
  for (const Row& row : rows) {
    EXPECT_EQ(resolveUrl(row.base, row.reference), row.resolved)
        << row.base << " + " << row.reference;
  }
}

TEST(RtspText, RtspUrls) {
  struct Row {
    std::string url;
    bool ok;
    std::string host;
    unsigned port;
    std::string path;
  };
  // clang-format off
  const Row rows[] = {
      {"rtsp://10.0.0.2/live", true, "10.0.0.2", 554, "live"},
      {"RTSP://cam:8554/a/b?c", true, "cam", 8554, "a/b?c"},
      {"rtsp://u:p@cam:10/x", true, "cam", 10, "x"},
      {"rtsp://[::1]:8554/x", true, "::1", 8554, "x"},
      {"rtsp://cam", true, "cam", 554, ""},
      {"http://cam/x", false, "", 554, ""},
      {"rtsp://cam:0/x", false, "", 554, ""},
      {"rtsp://cam:65536/x", false, "", 554, ""},
      {"rtsp://cam:8a/x", false, "", 554, ""},
      {"rtsp:///x", false, "", 554, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    RtspUrl parsed;
    EXPECT_EQ(parseRtspUrl(row.url, parsed), row.ok) << row.url;
    EXPECT_EQ(parsed.host, row.host) << row.url;
    EXPECT_EQ(parsed.port, row.port) << row.url;
    EXPECT_EQ(parsed.path, row.path) << row.url;
  }
}

}  // namespace
