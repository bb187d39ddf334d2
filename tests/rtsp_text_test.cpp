// The pure text functions of the session options, one fact a row: the
// Session header, header lookup, start lines, Public lists, path escaping,
// control URL resolution and rtsp:// URLs.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/rtsp_text.h"

namespace {

using namespace rtsptext;

// Each function under test, its result written as text.
std::string session(const std::string& value) {
  const SessionHeader parsed = parseSessionHeader(value);
  return parsed.id + " timeout " + std::to_string(parsed.timeoutSec);
}
std::string status(const std::string& line) { return std::to_string(replyStatus(line)); }
std::string method(const std::string& line) { return requestMethod(line); }
std::string escaped(const std::string& path) { return escapePath(path); }
std::string resolved(const std::string& baseAndReference) {  // "<base> <reference>"
  const std::string::size_type space = baseAndReference.find(' ');
  return resolveUrl(baseAndReference.substr(0, space), baseAndReference.substr(space + 1));
}
std::string url(const std::string& text) {
  RtspUrl parsed;
  if (!parseRtspUrl(text, parsed)) return "refused";
  return parsed.host + " port " + std::to_string(parsed.port) + " path " + parsed.path;
}

TEST(RtspText, Functions) {
  struct Row {
    std::function<std::string(const std::string&)> function;
    std::string input, output;
  };
  // clang-format off
  const Row rows[] = {
      {session, "12345678", "12345678 timeout -1"},
      {session, "12345678; timeout=30", "12345678 timeout 30"},
      {session, " 12345678 ;TimeOut = 4 ", "12345678 timeout 4"},
      {session, "abc;other=1;timeout=60", "abc timeout 60"},
      {session, "abc;timeout=0", "abc timeout -1"},
      {session, "abc;timeout=9999999999999", "abc timeout 999999999"},
      {status, "RTSP/1.0 200 OK", "200"},
      {status, "RTSP/2.0 302 Found", "302"},
      {status, "RTSP/1.0 20 OK", "0"},
      {status, "RTSP/1.0 2000 OK", "0"},
      {status, "OPTIONS * RTSP/1.0", "0"},
      {method, "OPTIONS * RTSP/1.0", "OPTIONS"},
      {method, "GET_PARAMETER rtsp://h/x RTSP/1.0", "GET_PARAMETER"},
      {method, "options * RTSP/1.0", ""},
      {method, "OPTIONS * HTTP/1.1", ""},
      {method, "RTSP/1.0 200 OK", ""},
      {escaped, "live/cam 1/ch%1?x#y", "live/cam%201/ch%251%3Fx%23y"},
      {escaped, "a-b._~!$&'()*+,;=:@/Z9", "a-b._~!$&'()*+,;=:@/Z9"},
      {escaped, "\xC3\xA9", "%C3%A9"},
      {resolved, "rtsp://h:554/live/ trackID=1", "rtsp://h:554/live/trackID=1"},
      {resolved, "rtsp://h:554/live trackID=1", "rtsp://h:554/live/trackID=1"},
      {resolved, "rtsp://h:554/live/ *", "rtsp://h:554/live/"},
      {resolved, "rtsp://h:554/live/ rtsp://o:8554/t/1", "rtsp://o:8554/t/1"},
      {resolved, "rtsp://h:554/live/ RTSP://o/t", "RTSP://o/t"},
      {resolved, "rtsp://h:554/live/x /other/t=2", "rtsp://h:554/other/t=2"},
      {url, "rtsp://10.0.0.2/live", "10.0.0.2 port 554 path live"},
      {url, "RTSP://cam:8554/a/b?c", "cam port 8554 path a/b?c"},
      {url, "rtsp://u:p@cam:10/x", "cam port 10 path x"},
      {url, "rtsp://[::1]:8554/x", "::1 port 8554 path x"},
      {url, "http://cam/x", "refused"},
      {url, "rtsp://cam:0/x", "refused"},
      {url, "rtsp://cam:65536/x", "refused"},
      {url, "rtsp:///x", "refused"},
  };
  // clang-format on
  for (const Row& row : rows) EXPECT_EQ(row.function(row.input), row.output) << row.input;
}

TEST(RtspText, HeaderLookupAndPublicLists) {
  const std::string head =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: 3\r\nWWW-Authenticate: Digest realm=\"a\"\r\n"
      "www-authenticate:Basic realm=\"a\"\r\nPublic: OPTIONS, DESCRIBE,GET_PARAMETER\r\n\r\n";
  EXPECT_EQ(headerValues(head, "WWW-Authenticate"),
            (std::vector<std::string>{"Digest realm=\"a\"", "Basic realm=\"a\""}));
  EXPECT_EQ(headerValue(head, "cseq"), "3");
  EXPECT_EQ(headerValue("CSeq: 9\r\n\r\n", "CSeq"), "") << "the first line is never a header";
  EXPECT_EQ(startLine(head), "RTSP/1.0 401 Unauthorized");
  EXPECT_TRUE(listsMethod(headerValue(head, "Public"), "GET_PARAMETER"));
  EXPECT_TRUE(listsMethod(headerValue(head, "Public"), "describe"));
  EXPECT_FALSE(listsMethod("GET_PARAMETERS", "GET_PARAMETER"));
}

}  // namespace
