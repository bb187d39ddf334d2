// The pure text functions of the session (the UDP Transport reply among
// them), one fact a row of tests/data/rtsp_text.txt, and header lookup.
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/rtsp_text.h"
#include "session/udp_transport.h"
#include "support/data_rows.h"

namespace {

using namespace rtsptext;

TEST(RtspText, Functions) {
  // Each function under test, its result written as text.
  const std::map<std::string, std::function<std::string(const std::string&)>> functions = {
      {"session",
       [](const std::string& value) {
         const SessionHeader parsed = parseSessionHeader(value);
         return parsed.id + " timeout " + std::to_string(parsed.timeoutSec);
       }},
      {"status", [](const std::string& line) { return std::to_string(replyStatus(line)); }},
      {"method",
       [](const std::string& line) {
         const std::string method = requestMethod(line);
         return method.empty() ? "(none)" : method;
       }},
      {"escaped", escapePath},
      {"resolved",
       [](const std::string& both) {
         const std::string::size_type space = both.find(' ');
         return resolveUrl(both.substr(0, space), both.substr(space + 1));
       }},
      {"url",
       [](const std::string& text) {
         RtspUrl parsed;
         if (!parseRtspUrl(text, parsed)) return std::string("refused");
         return parsed.host + " port " + std::to_string(parsed.port) + " path " + parsed.path;
       }},
      {"public",
       [](const std::string& both) {
         const std::string::size_type bar = both.find('|');
         return listsMethod(both.substr(0, bar), both.substr(bar + 1)) ? "yes" : "no";
       }},
      {"transport",
       [](const std::string& value) {
         TransportReply r;
         std::string detail;
         if (!parseTransportReply(value, r, detail)) return std::string("refused");
         std::ostringstream out;
         out << (r.tcp ? "tcp " : "udp ") << (r.hasServerPort ? "" : "-") << r.serverRtpPort << "-"
             << r.serverRtcpPort << " " << r.source << " " << (r.hasSsrc ? "" : "-") << std::hex
             << r.ssrc;
         return out.str();
       }},
  };
  const std::vector<rtsptest::DataRow> rows = rtsptest::dataRows("rtsp_text.txt");
  EXPECT_GT(rows.size(), 40u);
  for (const rtsptest::DataRow& row : rows)
    EXPECT_EQ(functions.at(row.function)(row.input), row.output) << row.where;
}

TEST(RtspText, HeaderLookup) {
  const std::string head =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: 3\r\nWWW-Authenticate: Digest realm=\"a\"\r\n"
      "www-authenticate:Basic realm=\"a\"\r\nPublic: OPTIONS\r\n\r\n";
  EXPECT_EQ(headerValues(head, "WWW-Authenticate"),
            (std::vector<std::string>{"Digest realm=\"a\"", "Basic realm=\"a\""}));
  EXPECT_EQ(headerValue(head, "cseq"), "3");
  EXPECT_EQ(headerValue("CSeq: 9\r\n\r\n", "CSeq"), "") << "the first line is never a header";
  EXPECT_EQ(startLine(head), "RTSP/1.0 401 Unauthorized");
}

}  // namespace
