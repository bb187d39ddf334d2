// Whole sessions with options against scripted servers: the diagnostics sink,
// lastFailure() at every step, keep-alives and requests of the server during
// playback, standard requests, redirects, bounded replies and credentials.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "session/auth.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// A frame whose payload is the 4-byte big-endian `n`.
std::string numberedFrame(std::uint32_t n) {
  const std::uint32_t net = htonl(n);
  return frame('$', 0, std::string(reinterpret_cast<const char*>(&net), 4));
}

// Starts `s`, lets it play for `playMs`, stops it and waits for the server to
// finish. True when the start succeeded.
bool run(OptionsSession& s, ScriptedServer& server, int playMs = 0) {
  const bool started = s.d.startRTSPDownload(false, true);
  if (started) std::this_thread::sleep_for(std::chrono::milliseconds(playMs));
  s.d.stop();
  server.finish();
  return started;
}

// `text` with every "PORT" replaced by `port`.
std::string withPort(std::string text, unsigned port) {
  for (std::string::size_type at; (at = text.find("PORT")) != std::string::npos;) {
    text.replace(at, 4, std::to_string(port));
  }
  return text;
}

struct Failure {
  RTSP_STEP step;
  int code;
  std::string statusLine, detail;
};
void expectFailure(const RTSPFailure& got, const Failure& want) {
  EXPECT_EQ(got.step, want.step);
  EXPECT_EQ(got.statusCode, want.code);
  EXPECT_EQ(got.statusLine, want.statusLine);
  EXPECT_EQ(got.detail, want.detail);
}

TEST(SessionOptions, DiagnosticsSinkGetsTheTextStdoutWouldHave) {
  std::string text;
  RTSPSessionOptions options;
  options.diagnostics = [&text](const std::string& line) { text += line + "\r\n"; };
  const SessionRun o(Handshake(0).answers, End::kReadOn, 0, false, 0, false, options);
  EXPECT_EQ(o.echo, "");
  EXPECT_EQ(text, Handshake(o.port).echo);
  EXPECT_EQ(o.received, Handshake(o.port).sent.back() + Handshake(o.port).teardown);
}

TEST(SessionOptions, LastFailureNamesTheStepTheStatusAndTheCause) {
  const std::vector<std::string> h = Handshake(0).answers;
  struct Row {
    const char* name;
    std::vector<std::string> answers;
    End end;
    std::size_t refusePacket;
    Failure failure;
  };
  const std::string challenge = "WWW-Authenticate: Basic realm=\"x\"\r\n";
  // clang-format off
  const Row rows[] = {
      {"OPTIONS closed", {""}, End::kClose, 0,
          {RTSP_STEP_OPTIONS, 0, "", "the server closed the connection"}},
      {"DESCRIBE 404", {h[0], reply("404 Not Found", 2)}, End::kReadOn, 0,
          {RTSP_STEP_DESCRIBE, 404, "RTSP/1.0 404 Not Found", "the server refused DESCRIBE"}},
      {"401 without credentials", {h[0], reply("401 Unauthorized", 2, challenge)}, End::kReadOn, 0,
          {RTSP_STEP_DESCRIBE, 401, "RTSP/1.0 401 Unauthorized", "the server asks for credentials"}},
      {"description missing", {h[0], reply("200 OK", 2, "Content-Length: 100\r\n", "v=0\r\n")},
          End::kReadOn, 0, {RTSP_STEP_SDP, 0, "", "timed out after 1 s waiting for the description"}},
      {"SETUP 461", {h[0], h[1], reply("461 Unsupported Transport", 3)}, End::kReadOn, 0,
          {RTSP_STEP_SETUP, 461, "RTSP/1.0 461 Unsupported Transport", "the server refused SETUP"}},
      {"PLAY silent", {h[0], h[1], h[2], ""}, End::kReadOn, 0,
          {RTSP_STEP_PLAY, 0, "", "timed out after 1 s waiting for a reply"}},
      {"closed while playing", {h[0], h[1], h[2], h[3] + numberedFrame(0)}, End::kClose, 0,
          {RTSP_STEP_RECEIVE, 0, "", "the server closed the connection"}},
      {"a reply in the stream", {h[0], h[1], h[2], h[3] + "RTSP/1.0 200 OK\r\n"}, End::kReadOn, 0,
          {RTSP_STEP_RECEIVE, 0, "", "unexpected byte 0x52 in the stream"}},
      {"receiver refuses", {h[0], h[1], h[2], h[3] + numberedFrame(0)}, End::kReadOn, 1,
          {RTSP_STEP_RECEIVE, 0, "", "the receiver refused a packet"}},
      {"silence while playing", {h[0], h[1], h[2], h[3]}, End::kReadOn, 0,
          {RTSP_STEP_RECEIVE, 0, "", "timed out after 1 s without data"}},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const SessionRun o(row.answers, row.end, 3, false, row.refusePacket);
    EXPECT_EQ(o.log->notes, 1);
    expectFailure(o.d.lastFailure(), row.failure);
    EXPECT_EQ(o.failureAtCallback.detail, row.failure.detail) << "recorded before the callback";
  }
  unsigned closedPort = 0;
  ::close(listenLoopback(closedPort));  // nothing listens there now
  OptionsSession refused(closedPort, {});
  EXPECT_FALSE(refused.d.startRTSPDownload(false, true));
  expectFailure(refused.d.lastFailure(), {RTSP_STEP_CONNECT, 0, "", "connection refused"});

  // stop() ending a waiting read is no failure; a new start forgets the last.
  EXPECT_EQ(SessionRun(h, End::kReadOn, 0, false, 0, true).d.lastFailure().step, RTSP_STEP_NONE);
  ScriptedServer server(
      [](const std::string& m, int c) {
        return c == 0 && methodOf(m) == "DESCRIBE" ? reply("404 Not Found", 2)
                                                   : HandshakeAnswers()(m);
      },
      nullptr, 2);
  OptionsSession s(server.port, {});
  EXPECT_FALSE(s.d.startRTSPDownload(false, true));
  s.d.stop();
  EXPECT_TRUE(s.d.startRTSPDownload(false, true));
  EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_NONE);
  s.d.stop();
}

// A server announcing the timeout that sends a numbered frame every 20 ms,
// answers keep-alives with `keepAliveAnswer`, and after 1 s of playback sends
// its own OPTIONS and SET_PARAMETER between two frames.
TEST(SessionOptions, KeepAlivesAndServerRequestsDuringPlayback) {
  struct Row {
    const char* name;
    int keepAliveSec;
    std::string session, publicHeader, keepAliveAnswer, method;
    bool standard;
  };
  // clang-format off
  const Row rows[] = {
      {"GET_PARAMETER answered 400 with a stale CSeq", -1, "4711;timeout=2", "OPTIONS, GET_PARAMETER",
          "RTSP/1.0 400 Bad Request\r\nCSeq: 1\r\n\r\n", "GET_PARAMETER", false},
      {"OPTIONS never answered", -1, "4711;timeout=2", "OPTIONS, DESCRIBE", "", "OPTIONS", true},
      {"every second, a reply with a body", 1, "4711", "GET_PARAMETER",
          "RTSP/1.0 200 OK\r\nCSeq: 5\r\nContent-Length: 9\r\n\r\n$abc\r\n\r\nx", "GET_PARAMETER",
          false},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HandshakeAnswers handshake;
    handshake.session = row.session;
    handshake.publicHeader = row.publicHeader;
    std::uint32_t sent = 0;
    std::chrono::steady_clock::time_point playStart;
    ScriptedServer server(
        [&](const std::string& m, int) {
          if (methodOf(m) == row.method && sent > 0) return row.keepAliveAnswer;
          if (methodOf(m) == "PLAY") playStart = std::chrono::steady_clock::now();
          return handshake(m);
        },
        [&]() -> std::string {
          if (playStart == std::chrono::steady_clock::time_point()) return std::string();
          std::string bytes = numberedFrame(sent++);
          if (sent == 50) {  // 1 s in
            bytes += "OPTIONS * RTSP/1.0\r\nCSeq: 77\r\n\r\n" + numberedFrame(sent++) +
                     "SET_PARAMETER rtsp://c/ RTSP/1.0\r\nCSeq: 78\r\nContent-Length: 3\r\n\r\nx=1";
          }
          return bytes;
        });
    RTSPSessionOptions options;
    options.keepAliveSec = row.keepAliveSec;
    options.standardRequests = row.standard;
    OptionsSession s(server.port, options);
    ASSERT_TRUE(run(s, server, 2400));
    EXPECT_EQ(s.d.lastFailure().detail, "");

    const std::vector<Heard> keepAlives = server.heard(row.method);
    const std::string url = (row.standard ? "rtsp" : "Rtsp") +
                            ("://127.0.0.1:" + std::to_string(server.port)) + "/live";
    const std::size_t first = row.method == "OPTIONS" ? 1 : 0;  // the handshake's OPTIONS
    ASSERT_GE(keepAlives.size(), first + 2);
    for (std::size_t i = first; i < keepAlives.size(); ++i) {
      const auto cseq = static_cast<unsigned>(5 + i - first);
      EXPECT_EQ(keepAlives[i].text, request(row.method + " " + url, cseq, "Session: 4711\r\n"));
      const double gap =
          keepAlives[i].at - (i == first ? server.heard("PLAY")[0].at : keepAlives[i - 1].at);
      EXPECT_GT(gap, 0.8);
      EXPECT_LT(gap, 1.5);
    }
    const std::vector<Heard> answers = server.heard("RTSP/1.0");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].text, "RTSP/1.0 200 OK\r\nCSeq: 77\r\n\r\n");
    EXPECT_EQ(answers[1].text, "RTSP/1.0 501 Not Implemented\r\nCSeq: 78\r\n\r\n");
    const std::vector<Heard> teardown = server.heard("TEARDOWN");  // numbered after them
    EXPECT_EQ(headerOf(teardown.at(0).text, "CSeq"), std::to_string(5 + keepAlives.size() - first));
    EXPECT_GT(s.log->packets.size(), 80u);
    for (std::size_t i = 0; i < s.log->packets.size(); ++i) {
      ASSERT_EQ(s.log->packets[i], numberedFrame(static_cast<std::uint32_t>(i)).substr(4)) << i;
    }
  }
}

// Replies to keep-alives are no media: a stream that stops while the server
// still answers them ends after the receive timeout all the same.
TEST(SessionOptions, KeepAliveRepliesDoNotHideAStalledStream) {
  ScriptedServer server([](const std::string& m, int) {
    if (methodOf(m) == "OPTIONS" && headerOf(m, "Session") != "") return reply("200 OK", 99);
    return HandshakeAnswers()(m) + (methodOf(m) == "PLAY" ? numberedFrame(0) : "");
  });
  RTSPSessionOptions options;
  options.keepAliveSec = 1;
  OptionsSession s(server.port, options);
  CRTSPDownloadTestPeer{s.d}.setTimeouts(2, 1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(s.d.startRTSPDownload(false, true));
  while (s.d.lastFailure().step == RTSP_STEP_NONE &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  expectFailure(s.d.lastFailure(), {RTSP_STEP_RECEIVE, 0, "", "timed out after 2 s without data"});
  EXPECT_GE(server.heard("OPTIONS").size(), 2u) << "a keep-alive was answered meanwhile";
  s.d.stop();
}

TEST(SessionOptions, StandardRequests) {
  struct Row {
    const char* name;
    std::string describeHeaders, sdp, setupUrl, playUrl;
  };
  const std::string base = "rtsp://127.0.0.1:PORT/live%20cam";
  const std::string video = "m=video 0 RTP/AVP 96 97\r\na=rtpmap:96 H264/90000\r\n";
  // clang-format off
  const Row rows[] = {
      {"Content-Base, session-level *", "Content-Base: " + base + "/\r\n",
          "v=0\r\na=control:*\r\n" + video + "a=control:trackID=1\r\nm=audio 0 RTP/AVP 0\r\n",
          base + "/trackID=1", base + "/"},
      {"no base, absolute control, no session-level control", "",
          "v=0\r\n" + video + "a=control:rtsp://10.0.0.9/t/1\r\n", "rtsp://10.0.0.9/t/1", base},
      {"Content-Location, only audio has a control", "Content-Location: " + base + "/x/\r\n",
          "v=0\r\n" + video + "m=audio 0 RTP/AVP 0\r\na=control:audio\r\n", base + "/x/", base},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unsigned port = 0;
    ScriptedServer server([&](const std::string& m, int) {
      HandshakeAnswers answers;
      answers.describeHeaders = withPort(row.describeHeaders, port);
      answers.body = withPort(row.sdp, port);
      return answers(m);
    });
    port = server.port;
    RTSPSessionOptions options;
    options.standardRequests = true;
    OptionsSession s(port, options, "live cam");
    ASSERT_TRUE(run(s, server));
    const std::vector<Heard> heard = server.heard();
    ASSERT_EQ(heard.size(), 5u);
    EXPECT_EQ(heard[2].text, request("SETUP " + withPort(row.setupUrl, port), 3,
                                     "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    EXPECT_EQ(heard[3].text, request("PLAY " + withPort(row.playUrl, port), 4,
                                     "range: npt=0.000000-\r\nSession: 4711\r\n"));
    EXPECT_EQ(heard[4].text,
              request("TEARDOWN " + withPort(row.playUrl, port), 5, "Session: 4711\r\n"));
  }
}

TEST(SessionOptions, Redirects) {
  struct Row {
    const char* name;
    int maxRedirects;
    std::vector<std::string> locations;  // of connection c's DESCRIBE reply; "": no redirect
    std::string detail;                  // "": the start succeeds
  };
  const std::string live = "rtsp://127.0.0.1:PORT/live";
  // clang-format off
  const Row rows[] = {
      {"a chain of two", 3, {"rtsp://127.0.0.1:PORT/second", "rtsp://u:pw@127.0.0.1:PORT/third", ""},
          ""},
      {"a loop", 2, {live, live, live}, "over 2 redirects"},
      {"another scheme", 2, {"http://127.0.0.1:PORT/live"},
          "redirected to \"http://127.0.0.1:PORT/live\", which is not an rtsp:// URL"},
      {"not followed without the option", 0, {live}, "the server refused DESCRIBE"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unsigned port = 0;
    ScriptedServer server(
        [&](const std::string& m, int c) {
          const std::string& location = row.locations[static_cast<std::size_t>(c)];
          if (methodOf(m) != "DESCRIBE" || location.empty()) return HandshakeAnswers()(m);
          return reply("302 Found", 2, "Location: " + withPort(location, port) + "\r\n");
        },
        nullptr, static_cast<int>(row.locations.size()));
    port = server.port;
    RTSPSessionOptions options;
    options.maxRedirects = row.maxRedirects;
    OptionsSession s(port, options);
    EXPECT_EQ(run(s, server), row.detail.empty());
    if (!row.detail.empty()) {
      expectFailure(s.d.lastFailure(),
                    {RTSP_STEP_DESCRIBE, 302, "RTSP/1.0 302 Found", withPort(row.detail, port)});
      continue;
    }
    // The last server hears the whole handshake again, from OPTIONS with CSeq 1.
    EXPECT_EQ(server.heard("OPTIONS").back().connection, 2);
    EXPECT_EQ(server.heard("OPTIONS").back().text,
              request("OPTIONS Rtsp://127.0.0.1:" + std::to_string(port) + "/third", 1,
                      "User-Agent: (ORVE Streaming Media )\r\n"));
    EXPECT_EQ(methodOf(server.heard().back().text), "TEARDOWN");
  }
}

// The reply to `method` comes in two parts: the first `atOnce` bytes, then
// the rest one byte every 100 ms (a step of over 1 s in all).
TEST(SessionOptions, BoundedReplies) {
  std::string manyHeaders;
  for (int i = 0; i < 101; ++i) manyHeaders += "X-Filler: 1\r\n";
  const std::string longLine = "X: " + std::string(8200, 'x') + "\r\n";
  const std::string dripBody =
      reply("200 OK", 2, "Content-Length: 50\r\n", "v=0\r\n" + std::string(45, 'x'));
  const std::size_t whole = std::string::npos;
  struct Row {
    const char* name;
    std::string method, answer;
    std::size_t atOnce;
    bool bounded;
    Failure failure;
  };
  const std::string tooLong = "the server took over 1 s to answer";
  // clang-format off
  const Row rows[] = {
      {"a line over 8 KiB", "OPTIONS", reply("200 OK", 1, longLine), whole, true,
          {RTSP_STEP_OPTIONS, 200, "RTSP/1.0 200 OK", "a reply line over 8 KiB"}},
      {"101 header lines", "OPTIONS", reply("200 OK", 1, manyHeaders), whole, true,
          {RTSP_STEP_OPTIONS, 200, "RTSP/1.0 200 OK", "a reply with over 100 header lines"}},
      {"both, unbounded", "OPTIONS", reply("200 OK", 1, manyHeaders + longLine), whole, false,
          {RTSP_STEP_NONE, 0, "", ""}},
      {"header lines dripping", "OPTIONS", reply("200 OK", 1, "X-Slow: 0123456789\r\n"), 17, true,
          {RTSP_STEP_OPTIONS, 200, "RTSP/1.0 200 OK", tooLong}},
      {"a description dripping", "DESCRIBE", dripBody, dripBody.size() - 40, true,
          {RTSP_STEP_SDP, 0, "", tooLong}},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string dripping;
    ScriptedServer server(
        [&](const std::string& m, int) {
          if (methodOf(m) != row.method) return HandshakeAnswers()(m);
          dripping = row.answer.substr(std::min(row.atOnce, row.answer.size()));
          return row.answer.substr(0, row.atOnce);
        },
        [&dripping] {
          const std::string byte = dripping.substr(0, 1);
          dripping.erase(0, 1);
          return byte;
        },
        1, 100);
    RTSPSessionOptions options;
    options.boundedReplies = row.bounded;
    OptionsSession s(server.port, options);
    EXPECT_EQ(run(s, server), !row.bounded);
    expectFailure(s.d.lastFailure(), row.failure);
  }
}

// Each row's server protects its stream: request n (from 0) of a method gets
// a 401 with the challenge `challenges["<method> <n>"]` when there is one.
TEST(SessionOptions, Credentials) {
  const std::string basic = "WWW-Authenticate: Basic realm=\"cam\"\r\n";
  const auto digest = [](const std::string& nonce, const std::string& extra = "") {
    return "WWW-Authenticate: Digest realm=\"cam\", nonce=\"" + nonce +
           "\", qop=\"auth\", algorithm=SHA-256" + extra + "\r\n";
  };
  struct Row {
    const char* name;
    std::map<std::string, std::string> challenges;
    std::vector<std::string> methods;  // the last request of each carries `authorization`
    std::string authorization;         // its start
  };
  const std::string secret = "user:s3cret";
  const std::string digestN = "Digest username=\"user\", realm=\"cam\", nonce=\"n";
  // clang-format off
  const Row rows[] = {
      {"Basic at DESCRIBE", {{"DESCRIBE 0", basic}},
          {"DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"}, "Basic " + base64Encode(secret)},
      {"Basic and Digest offered, Digest at SETUP", {{"SETUP 0", basic + digest("n1")}},
          {"SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"}, digestN + "1\""},
      {"a stale nonce in the middle of the handshake",
          {{"DESCRIBE 0", digest("n1")}, {"SETUP 0", digest("n2")},
              {"SETUP 1", digest("n3", ", stale=true")}},
          {"SETUP", "PLAY", "TEARDOWN"}, digestN + "3\""},
      {"a wrong password", {{"DESCRIBE 0", digest("n1")}, {"DESCRIBE 1", digest("n1")},
          {"DESCRIBE 2", digest("n1")}}, {}, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, int> counts;
    HandshakeAnswers handshake;
    handshake.publicHeader = "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER";
    ScriptedServer server(
        [&](const std::string& m, int) {
          const std::string key = methodOf(m) + " " + std::to_string(counts[methodOf(m)]++);
          if (row.challenges.count(key) == 0) return handshake(m);
          const auto cseq = static_cast<unsigned>(std::stoul(headerOf(m, "CSeq")));
          return reply("401 Unauthorized", cseq, row.challenges.at(key) + "Content-Length: 3\r\n",
                       "no!");
        },
        [&counts] { return counts["PLAY"] > 0 ? numberedFrame(0) : std::string(); });
    RTSPSessionOptions options;
    options.user = "user";
    options.password = "s3cret";
    options.keepAliveSec = 1;
    OptionsSession s(server.port, options);
    const bool started = run(s, server, 1300);
    EXPECT_EQ(started, !row.methods.empty());
    if (!started) {
      expectFailure(s.d.lastFailure(), {RTSP_STEP_DESCRIBE, 401, "RTSP/1.0 401 Unauthorized",
                                        "authentication failed"});
      EXPECT_EQ(server.heard("DESCRIBE").size(), 2u) << "one retry, no more";
    }
    for (const std::string& method : row.methods) {
      const std::vector<Heard> heard = server.heard(method);
      ASSERT_FALSE(heard.empty()) << method;
      const std::string sent = headerOf(heard.back().text, "Authorization");
      EXPECT_EQ(sent.substr(0, row.authorization.size()), row.authorization) << method;
      const std::string uri = heard.back().text.substr(method.size() + 1);
      if (sent.compare(0, 7, "Digest ") == 0) {  // the request line's URI, exactly
        EXPECT_NE(sent.find("uri=\"" + uri.substr(0, uri.find(' ')) + "\""), std::string::npos)
            << method;
      }
    }
    for (const std::string& line : s.lines) {
      EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
      EXPECT_EQ(line.find(base64Encode(secret)), std::string::npos) << line;
    }
    EXPECT_GT(std::count(s.lines.begin(), s.lines.end(), "Authorization: <credentials hidden>"), 0);
  }
}

}  // namespace
