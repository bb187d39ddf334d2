// The pure text functions of the session, one fact a row of
// tests/data/rtsp_text.txt and tests/data/auth.txt (RTSP text, the UDP
// Transport reply, authentication); header lookup; one Digest conversation;
// and the reader of the control connection: the same stream, received in any
// pieces, gives the same items; bytes that start nothing end it, naming the
// byte; RTSP messages only when asked for, within their limits.
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/auth.h"
#include "session/interleaved_reader.h"
#include "session/rtsp_text.h"
#include "session/udp_transport.h"
#include "support/data_rows.h"
#include "support/reader_items.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptext;
using namespace std::string_literals;
using rtsptest::frame;
using rtsptest::readerItems;
using rtsptest::split;

// An Authorization value read back with the challenge parser (same syntax).
AuthChallenge parseCredentials(const std::string& value) {
  const std::vector<AuthChallenge> parsed = parseAuthChallenges({value});
  return parsed.empty() ? AuthChallenge{} : parsed.front();
}
std::vector<std::string> headers(const std::string& text) {
  return text.empty() ? std::vector<std::string>{} : split(text, " || ");
}

std::string challenges(const std::string& text) {
  std::string out;
  for (const AuthChallenge& c : parseAuthChallenges(headers(text))) {
    out += (out.empty() ? "" : " | ") + c.scheme;
    if (!c.token68.empty()) out += "<" + c.token68 + ">";
    std::string params;
    for (const auto& p : c.params) params += (params.empty() ? "" : ";") + p.first + "=" + p.second;
    out += "{" + params + "}";
  }
  return out;
}
std::string digest(const std::string& text) {
  const std::vector<std::string> f = split(text, "|");
  DigestInput in;
  if (!parseDigestAlgorithm(f.at(0), in.algorithm)) return "no algorithm " + f[0];
  in.user = f.at(1);
  in.password = f.at(2);
  in.realm = f.at(3);
  in.nonce = f.at(4);
  in.method = f.at(5);
  in.uri = f.at(6);
  in.qopAuth = true;
  in.nc = static_cast<std::uint32_t>(std::stoul(f.at(7)));
  in.cnonce = f.at(8);
  return digestResponse(in);
}
std::string scheme(const std::string& text) {
  RtspAuthenticator auth("user", "pass");
  std::string detail;
  const bool accepted = auth.onChallenge(headers(text), detail);
  if (auth.ready() != accepted) return "ready() disagrees";
  if (!accepted) return "refused: " + detail;
  const AuthChallenge answer = parseCredentials(auth.authorization("DESCRIBE", "rtsp://h/s"));
  if (answer.scheme != "Digest") return answer.scheme;
  return "Digest " + (answer.has("algorithm") ? answer.param("algorithm") : "(none)");
}
std::string answer(const std::string& text) {  // user|password|method|uri|offers
  const std::vector<std::string> f = split(text, "|");
  RtspAuthenticator auth(f.at(0), f.at(1));
  std::string offers, detail;
  for (std::size_t i = 4; i < f.size(); ++i) offers += (i > 4 ? "|" : "") + f[i];
  for (const std::string& offer : headers(offers)) auth.onChallenge({offer}, detail);
  const std::string value = auth.authorization(f.at(2), f.at(3));
  if (value.empty()) return "(none)";
  const std::string user = parseCredentials(value).param("username");
  return user.size() == 64 ? "username=" + user : value;  // a hashed user name alone
}

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
      {"reader",
       [](const std::string& stream) {
         const std::vector<std::string> items = readerItems(stream, {}, true);
         return items.empty() ? "(none)" : items.back();
       }},
      {"frames",
       [](const std::string& stream) {
         const std::vector<std::string> items = readerItems(stream, {}, false);
         return items.empty() ? "(none)" : items.back();
       }},
      {"challenges", challenges},
      {"digest", digest},
      {"base64", base64Encode},
      {"basic",
       [](const std::string& text) {
         return basicCredentials(text.substr(0, text.find('|')), text.substr(text.find('|') + 1));
       }},
      {"scheme", scheme},
      {"answer", answer},
      {"hide", hideCredentials},
  };
  for (const char* file : {"rtsp_text.txt", "auth.txt"}) {
    const std::vector<rtsptest::DataRow> rows = rtsptest::dataRows(file);
    EXPECT_GT(rows.size(), 25u) << file;
    for (const rtsptest::DataRow& row : rows)
      EXPECT_EQ(functions.at(row.function)(row.input), row.output) << row.where;
  }
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

TEST(AuthDigest, AnswersWithCountedNcFreshCnonceAndEchoedOpaque) {
  RtspAuthenticator auth("Mufasa", "Circle of Life");
  std::string detail;
  ASSERT_TRUE(auth.onChallenge(
      {R"(Digest realm="cam", nonce="n1", opaque="op\"q\\", qop="auth", algorithm=SHA-256, stale=false)"},
      detail));
  EXPECT_FALSE(auth.stale());
  const std::string uri = "rtsp://10.1.2.3:554/live";
  const AuthChallenge first = parseCredentials(auth.authorization("SETUP", uri));
  const AuthChallenge second = parseCredentials(auth.authorization("SETUP", uri));
  EXPECT_EQ(second.param("nc"), "00000002");
  EXPECT_EQ(second.param("opaque"), "op\"q\\");
  EXPECT_NE(second.param("cnonce"), first.param("cnonce"));
  EXPECT_EQ(second.param("response"), digest("SHA-256|Mufasa|Circle of Life|cam|n1|SETUP|" + uri +
                                             "|2|" + second.param("cnonce")));
  // The same nonce again continues the count; a new one (stale) restarts it.
  ASSERT_TRUE(auth.onChallenge({R"(Digest realm="cam", nonce="n1", qop="auth")"}, detail));
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000003");
  ASSERT_TRUE(
      auth.onChallenge({R"(Digest realm="cam", nonce="n2", qop="auth", stale=TRUE)"}, detail));
  EXPECT_TRUE(auth.stale());
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000001");
}

const std::string kReply = "RTSP/1.0 400 Bad Request\r\nCSeq: 99\r\n\r\n";
const std::string kReplyWithBody =
    "RTSP/1.0 200 OK\r\nCSeq: 5\r\ncontent-length: 6\r\n\r\n$\x00\x00\x01rx"s;
const std::string kServerRequest = "OPTIONS rtsp://cam/live RTSP/1.0\r\nCSeq: 7\r\n\r\n";

TEST(InterleavedReader, EverySplitOfAStreamGivesTheSameItems) {
  const std::string stream = frame('$', 0, "first") + kReply + frame('$', 1, "") +
                             frame('%', 0, "dropped") + kReplyWithBody + kServerRequest +
                             frame('$', 0, std::string(200, '\x24')) + "x";
  const std::vector<std::string> expected = {
      "$0:first",
      "M:" + kReply + "|",
      "$1:",
      "%0:dropped",
      "M:RTSP/1.0 200 OK\r\nCSeq: 5\r\ncontent-length: 6\r\n\r\n|$\x00\x00\x01rx"s,
      "M:" + kServerRequest + "|",
      "$0:" + std::string(200, '\x24'),
      "bad 0x78",
  };
  EXPECT_EQ(readerItems(stream, {}, true), expected);
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(readerItems(stream, {cut}, true), expected) << "cut at " << cut;
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) everyByte.push_back(cut);
  EXPECT_EQ(readerItems(stream, everyByte, true), expected);
}

TEST(InterleavedReader, LargestFrameInPiecesThroughASmallBuffer) {
  std::string payload(65535, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
  std::string stream;
  for (int i = 0; i < 4; ++i) stream += frame('$', static_cast<char>(i), payload);
  std::vector<std::size_t> cuts;
  for (std::size_t cut = 1000; cut < stream.size(); cut += 1000 + cut % 977) cuts.push_back(cut);
  const std::vector<std::string> items = readerItems(stream, cuts, false);
  ASSERT_EQ(items.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(items[i], "$" + std::to_string(i) + ":" + payload);
}

}  // namespace
