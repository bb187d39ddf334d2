// Whole sessions with options against the scripted server: keep-alives and
// requests of the server during playback, standard requests, a redirect
// chain, the control connection's receive buffer and credentials.
#include <sys/socket.h>

#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "session/auth.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// Starts a session with `options` on `server`, lets it play for `playMs`
// and stops it; false when the start failed.
bool play(Session& s, ScriptedServer& server, int playMs = 0) {
  const bool started = s.start();
  if (started) std::this_thread::sleep_for(std::chrono::milliseconds(playMs));
  s.d.stop();
  server.finish();
  return started;
}

SessionConfig withOptions(const RTSPSessionOptions& options) {
  SessionConfig config;
  config.options = options;
  config.options.diagnostics = [](const std::string&) {};
  return config;
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
      {"GET_PARAMETER answered 400 with a stale CSeq", -1, "4711;timeout=2", "OPTIONS, GET_PARAMETER", "RTSP/1.0 400 Bad Request\r\nCSeq: 1\r\n\r\n", "GET_PARAMETER", false},
      {"OPTIONS never answered", -1, "4711;timeout=2", "OPTIONS, DESCRIBE", "", "OPTIONS", true},
      {"every second, a reply with a body", 1, "4711", "GET_PARAMETER", "RTSP/1.0 200 OK\r\nCSeq: 5\r\nContent-Length: 9\r\n\r\n$abc\r\n\r\nx", "GET_PARAMETER", false},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HandshakeAnswers handshake;
    handshake.session = row.session;
    handshake.publicHeader = row.publicHeader;
    std::uint32_t sent = 0;
    std::atomic<bool> playing{false};
    ScriptedServer::Script script{[&](const std::string& m, int) {
      if (methodOf(m) == row.method && sent > 0) return row.keepAliveAnswer;
      playing = playing || methodOf(m) == "PLAY";
      return handshake(m);
    }};
    script.tick = [&]() -> std::string {
      if (!playing) return std::string();
      std::string bytes = numbered(sent++);
      if (sent == 50) {  // 1 s in
        bytes += "OPTIONS * RTSP/1.0\r\nCSeq: 77\r\n\r\n" + numbered(sent++) +
                 "SET_PARAMETER rtsp://c/ RTSP/1.0\r\nCSeq: 78\r\nContent-Length: 3\r\n\r\nx=1";
      }
      return bytes;
    };
    ScriptedServer server(script);
    RTSPSessionOptions options;
    options.keepAliveSec = row.keepAliveSec;
    options.standardRequests = row.standard;
    Session s(server.port, withOptions(options));
    ASSERT_TRUE(play(s, server, 2400));
    EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_STOPPED);

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
      ASSERT_EQ(s.log->packets[i], numbered(static_cast<std::uint32_t>(i)).substr(4)) << i;
    }
  }
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
      {"Content-Base, session-level *", "Content-Base: " + base + "/\r\n", "v=0\r\na=control:*\r\n" + video + "a=control:trackID=1\r\nm=audio 0 RTP/AVP 0\r\n", base + "/trackID=1", base + "/"},
      {"no base, absolute control, no session-level control", "", "v=0\r\n" + video + "a=control:rtsp://10.0.0.9/t/1\r\n", "rtsp://10.0.0.9/t/1", base},
      {"Content-Location, only audio has a control", "Content-Location: " + base + "/x/\r\n", "v=0\r\n" + video + "m=audio 0 RTP/AVP 0\r\na=control:audio\r\n", base + "/x/", base},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HandshakeAnswers answers;
    answers.describeHeaders = row.describeHeaders;
    answers.body = row.sdp;
    ScriptedServer server({answers});
    RTSPSessionOptions options;
    options.standardRequests = true;
    SessionConfig config = withOptions(options);
    config.path = "live cam";
    Session s(server.port, config);
    ASSERT_TRUE(play(s, server));
    const std::vector<Heard> heard = server.heard();
    ASSERT_EQ(heard.size(), 5u);
    const auto withPort = [&server](std::string text) {
      for (std::string::size_type at; (at = text.find("PORT")) != std::string::npos;)
        text.replace(at, 4, std::to_string(server.port));
      return text;
    };
    EXPECT_EQ(heard[2].text, request("SETUP " + withPort(row.setupUrl), 3,
                                     "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    EXPECT_EQ(heard[3].text, request("PLAY " + withPort(row.playUrl), 4,
                                     "range: npt=0.000000-\r\nSession: 4711\r\n"));
    EXPECT_EQ(heard[4].text, request("TEARDOWN " + withPort(row.playUrl), 5, "Session: 4711\r\n"));
  }
}

// Two redirects (the second with user information in Location): the last
// server hears the whole handshake again, from OPTIONS with CSeq 1.
TEST(SessionOptions, RedirectChain) {
  const std::string locations[] = {"rtsp://127.0.0.1:PORT/second",
                                   "rtsp://u:pw@127.0.0.1:PORT/third"};
  ScriptedServer::Script script{[&](const std::string& m, int c) {
    if (methodOf(m) != "DESCRIBE" || c == 2) return HandshakeAnswers()(m);
    return reply("302 Found", 2, "Location: " + locations[c] + "\r\n");
  }};
  script.connections = 3;
  ScriptedServer server(script);
  RTSPSessionOptions options;
  options.maxRedirects = 3;
  Session s(server.port, withOptions(options));
  ASSERT_TRUE(play(s, server));
  EXPECT_EQ(server.heard("OPTIONS").back().connection, 2);
  EXPECT_EQ(server.heard("OPTIONS").back().text,
            request("OPTIONS Rtsp://127.0.0.1:" + std::to_string(server.port) + "/third", 1,
                    "User-Agent: (ORVE Streaming Media )\r\n"));
  EXPECT_EQ(methodOf(server.heard().back().text), "TEARDOWN");
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
      {"a stale nonce in the middle of the handshake", {{"DESCRIBE 0", digest("n1")}, {"SETUP 0", digest("n2")}, {"SETUP 1", digest("n3", ", stale=true")}},
          {"SETUP", "PLAY", "TEARDOWN"}, digestN + "3\""},
      {"a wrong password: one retry, no more", {{"DESCRIBE 0", digest("n1")}, {"DESCRIBE 1", digest("n1")},
          {"DESCRIBE 2", digest("n1")}}, {}, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, int> counts;
    HandshakeAnswers handshake;
    handshake.publicHeader = "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER";
    ScriptedServer::Script script{[&](const std::string& m, int) {
      const std::string key = methodOf(m) + " " + std::to_string(counts[methodOf(m)]++);
      if (row.challenges.count(key) == 0) return handshake(m);
      return reply("401 Unauthorized", cseqOf(m), row.challenges.at(key) + "Content-Length: 3\r\n",
                   "no!");
    }};
    script.tick = [&counts] { return counts["PLAY"] > 0 ? numbered(0) : std::string(); };
    ScriptedServer server(script);
    RTSPSessionOptions options;
    options.user = "user";
    options.password = "s3cret";
    options.keepAliveSec = 1;
    Session s(server.port, withOptions(options));
    EXPECT_EQ(play(s, server, 1300), !row.methods.empty());
    if (row.methods.empty()) {
      EXPECT_EQ(server.heard("DESCRIBE").size(), 2u);
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
