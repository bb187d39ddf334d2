// Whole sessions with options against scripted servers: the diagnostics sink,
// lastFailure() at every step, keep-alives and messages of the server during
// playback, standard requests, redirects, bounded replies and credentials.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "session/auth.h"
#include "support/scripted_server.h"
#include "support/session_support.h"

namespace {

using namespace rtsptest;

// The lines of `text` without their line ends, as the diagnostics sink gets them.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  for (std::string::size_type lf; (lf = text.find('\n', start)) != std::string::npos;
       start = lf + 1) {
    std::string line = text.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Options whose diagnostics go into `lines`.
RTSPSessionOptions collecting(std::vector<std::string>& lines, RTSPSessionOptions options = {}) {
  options.diagnostics = [&lines](const std::string& line) { lines.push_back(line); };
  return options;
}

// A frame whose payload is the 4-byte big-endian `n`.
std::string numberedFrame(std::uint32_t n) {
  const std::uint32_t net = htonl(n);
  return frame('$', 0, std::string(reinterpret_cast<const char*>(&net), 4));
}

bool isNumbered(const std::vector<std::string>& packets) {
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (packets[i] != numberedFrame(static_cast<std::uint32_t>(i)).substr(4)) return false;
  }
  return true;
}

// Answers a handshake on any path, by method, echoing the CSeq: OPTIONS with
// `publicHeader`, DESCRIBE with `describeHeaders` and `body`, SETUP and PLAY
// with "Session: <session>". Anything else: nothing.
struct HandshakeAnswers {
  std::string session = "4711;timeout=60";
  std::string publicHeader = "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN";
  std::string describeHeaders;
  std::string body = kSdp;
  std::string operator()(const std::string& message) const {
    const unsigned cseq = static_cast<unsigned>(std::stoul("0" + headerOf(message, "CSeq")));
    const std::string method = methodOf(message);
    if (method == "OPTIONS") return reply("200 OK", cseq, "Public: " + publicHeader + "\r\n");
    if (method == "DESCRIBE") {
      return reply("200 OK", cseq,
                   describeHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n",
                   body);
    }
    if (method == "SETUP" || method == "PLAY") {
      return reply("200 OK", cseq, "Session: " + session + "\r\n");
    }
    return std::string();
  }
};

// A session on 127.0.0.1:<port>/<path> with `options` and 1 s timeouts.
struct OptionsSession {
  OptionsSession(unsigned port, const RTSPSessionOptions& options,
                 const std::string& path = "live") {
    d.initInfo("127.0.0.1", port, path, 0, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(log);
    d.setOptions(options);
    CRTSPDownloadTestPeer{d}.setTimeouts(1, 1);
  }
  CRTSPDownload d;
  HostLog* log = new HostLog;  // owned by d
};

void expectFailure(const RTSPFailure& failure, RTSP_STEP step, int code,
                   const std::string& statusLine, const std::string& detail) {
  EXPECT_EQ(failure.step, step);
  EXPECT_EQ(failure.statusCode, code);
  EXPECT_EQ(failure.statusLine, statusLine);
  EXPECT_EQ(failure.detail, detail);
}

TEST(SessionOptions, DiagnosticsSinkGetsTheLinesStdoutWouldHave) {
  std::vector<std::string> lines;
  const SessionRun o(Handshake(0).answers, End::kReadOn, 0, false, 0, false, collecting(lines));
  EXPECT_TRUE(o.started);
  EXPECT_EQ(o.echo, "");
  EXPECT_EQ(lines, linesOf(Handshake(o.port).echo));
  EXPECT_EQ(o.received, Handshake(o.port).sent.back() + Handshake(o.port).teardown);
}

TEST(SessionOptions, LastFailureNamesTheStepTheStatusAndTheCause) {
  const std::vector<std::string> h = Handshake(0).answers;
  struct Row {
    const char* name;
    std::vector<std::string> answers;
    End end;
    std::size_t refusePacket;
    RTSP_STEP step;
    int code;
    std::string statusLine, detail;
  };
  // clang-format off
  const Row rows[] = {
      {"OPTIONS closed", {""}, End::kClose, 0, RTSP_STEP_OPTIONS, 0, "",
          "the server closed the connection"},
      {"DESCRIBE 404", {h[0], reply("404 Not Found", 2)}, End::kReadOn, 0, RTSP_STEP_DESCRIBE, 404,
          "RTSP/1.0 404 Not Found", "the server refused DESCRIBE"},
      {"DESCRIBE 401 without credentials",
          {h[0], reply("401 Unauthorized", 2, "WWW-Authenticate: Basic realm=\"x\"\r\n")},
          End::kReadOn, 0, RTSP_STEP_DESCRIBE, 401, "RTSP/1.0 401 Unauthorized",
          "the server asks for credentials"},
      {"description missing", {h[0], reply("200 OK", 2, "Content-Length: 100\r\n", "v=0\r\n")},
          End::kReadOn, 0, RTSP_STEP_SDP, 0, "", "timed out after 1 s waiting for the description"},
      {"SETUP 461", {h[0], h[1], reply("461 Unsupported Transport", 3)}, End::kReadOn, 0,
          RTSP_STEP_SETUP, 461, "RTSP/1.0 461 Unsupported Transport", "the server refused SETUP"},
      {"PLAY silent", {h[0], h[1], h[2], ""}, End::kReadOn, 0, RTSP_STEP_PLAY, 0, "",
          "timed out after 1 s waiting for a reply"},
      {"server closes while playing", {h[0], h[1], h[2], h[3] + numberedFrame(0)}, End::kClose, 0,
          RTSP_STEP_RECEIVE, 0, "", "the server closed the connection"},
      {"a reply in the stream", {h[0], h[1], h[2], h[3] + "RTSP/1.0 200 OK\r\n"}, End::kReadOn, 0,
          RTSP_STEP_RECEIVE, 0, "", "unexpected byte 0x52 in the stream"},
      {"receiver refuses", {h[0], h[1], h[2], h[3] + numberedFrame(0)}, End::kReadOn, 1,
          RTSP_STEP_RECEIVE, 0, "", "the receiver refused a packet"},
      {"silence while playing", {h[0], h[1], h[2], h[3]}, End::kReadOn, 0, RTSP_STEP_RECEIVE, 0, "",
          "timed out after 1 s without data"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const SessionRun o(row.answers, row.end, 3, false, row.refusePacket);
    EXPECT_EQ(o.log->notes, 1);
    expectFailure(o.d.lastFailure(), row.step, row.code, row.statusLine, row.detail);
    // Recorded before the callback ran.
    EXPECT_EQ(o.failureAtCallback.detail, row.detail);
  }

  // stop() ending a waiting read is no failure; a new start forgets the last.
  const SessionRun stopped(h, End::kReadOn, 0, false, 0, true);
  EXPECT_EQ(stopped.d.lastFailure().step, RTSP_STEP_NONE);
  ScriptedServer server(
      [](const std::string& m, int c) {
        return c == 0 && methodOf(m) == "DESCRIBE" ? reply("404 Not Found", 2)
                                                   : HandshakeAnswers()(m);
      },
      nullptr, 2);
  OptionsSession s(server.port, RTSPSessionOptions());
  CoutCapture quiet;
  EXPECT_FALSE(s.d.startRTSPDownload(false, true));
  EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_DESCRIBE);
  s.d.stop();
  EXPECT_TRUE(s.d.startRTSPDownload(false, true));
  EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_NONE);
  s.d.stop();
}

TEST(SessionOptions, ConnectFailures) {
  unsigned closedPort = 0;
  const int fd = listenLoopback(closedPort);
  ::close(fd);  // nothing listens there now
  struct Row {
    std::string host;
    unsigned port;
    std::string detail;
  };
  // clang-format off
  const Row rows[] = {
      {"127.0.0.1", closedPort, "connection refused"},
      {"no-such-host.invalid", 554, "the host name \"no-such-host.invalid\" could not be resolved"},
  };
  // clang-format on
  for (const Row& row : rows) {
    CRTSPDownload d;
    d.initInfo(row.host, row.port, "live", 0, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(new HostLog);
    EXPECT_FALSE(d.startRTSPDownload(false, true));
    expectFailure(d.lastFailure(), RTSP_STEP_CONNECT, 0, "", row.detail);
    d.stop();
  }
}

// A server announcing timeout=2 that sends a numbered frame every 20 ms,
// answers keep-alives as `keepAliveAnswer` says, and sends its own OPTIONS
// and SET_PARAMETER after 1.5 s of playback.
TEST(SessionOptions, KeepAlivesAndServerMessagesDuringPlayback) {
  struct Row {
    const char* name;
    int keepAliveSec;
    std::string publicHeader, keepAliveAnswer, method;
    bool standard;
  };
  // clang-format off
  const Row rows[] = {
      {"GET_PARAMETER answered 400 with a stale CSeq", -1,
          "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER",
          "RTSP/1.0 400 Bad Request\r\nCSeq: 1\r\n\r\n", "GET_PARAMETER", false},
      {"OPTIONS never answered", -1, "OPTIONS, DESCRIBE, SETUP, PLAY", "", "OPTIONS", true},
      {"every second, answered with a body", 1, "GET_PARAMETER",
          "RTSP/1.0 200 OK\r\nCSeq: 5\r\nContent-Length: 9\r\n\r\n$abc\r\n\r\nx", "GET_PARAMETER",
          false},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HandshakeAnswers handshake;
    handshake.session = row.keepAliveSec == -1 ? "4711;timeout=2" : "4711";
    handshake.publicHeader = row.publicHeader;
    std::atomic<bool> playing{false};
    bool injected = false;
    std::uint32_t sent = 0;
    std::chrono::steady_clock::time_point playStart;
    ScriptedServer server(
        [&](const std::string& m, int) {
          if (methodOf(m) == row.method && playing) return std::string(row.keepAliveAnswer);
          std::string answer = handshake(m);
          if (methodOf(m) == "PLAY") {
            playStart = std::chrono::steady_clock::now();
            playing = true;
          }
          return answer;
        },
        [&]() -> std::string {
          if (!playing) return std::string();
          std::string bytes = numberedFrame(sent++);
          if (!injected &&
              std::chrono::steady_clock::now() - playStart > std::chrono::milliseconds(1500)) {
            injected = true;
            bytes += "OPTIONS * RTSP/1.0\r\nCSeq: 77\r\n\r\n" + numberedFrame(sent++) +
                     "SET_PARAMETER rtsp://c/ RTSP/1.0\r\nCSeq: 78\r\nContent-Length: 3\r\n\r\nx=1";
          }
          return bytes;
        });
    RTSPSessionOptions options;
    options.keepAliveSec = row.keepAliveSec;
    options.standardRequests = row.standard;
    std::vector<std::string> lines;
    OptionsSession s(server.port, collecting(lines, options));
    ASSERT_TRUE(s.d.startRTSPDownload(false, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(3300));
    EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_NONE) << s.d.lastFailure().detail;
    s.d.stop();
    server.finish();

    const std::vector<Heard> keepAlives = server.heard(row.method);
    const std::string url = row.standard
                                ? "rtsp://127.0.0.1:" + std::to_string(server.port) + "/live"
                                : "Rtsp://127.0.0.1:" + std::to_string(server.port) + "/live";
    // OPTIONS of the handshake is no keep-alive.
    const std::size_t first = row.method == "OPTIONS" ? 1 : 0;
    ASSERT_GE(keepAlives.size(), first + 3);
    for (std::size_t i = first; i < keepAlives.size(); ++i) {
      EXPECT_EQ(keepAlives[i].text,
                request(row.method + " " + url, static_cast<unsigned>(5 + i - first),
                        "Session: 4711\r\n"));
      const double gap =
          keepAlives[i].at - (i == first ? server.heard("PLAY")[0].at : keepAlives[i - 1].at);
      EXPECT_GT(gap, 0.8);
      EXPECT_LT(gap, 1.5);
    }
    // The server's requests answered; the TEARDOWN numbered after the keep-alives.
    const std::vector<Heard> answers = server.heard("RTSP/1.0");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].text, "RTSP/1.0 200 OK\r\nCSeq: 77\r\n\r\n");
    EXPECT_EQ(answers[1].text, "RTSP/1.0 501 Not Implemented\r\nCSeq: 78\r\n\r\n");
    const std::vector<Heard> teardown = server.heard("TEARDOWN");
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(headerOf(teardown[0].text, "CSeq"), std::to_string(5 + keepAlives.size() - first));
    // Every frame came, in order, the messages between them ending nothing.
    EXPECT_GT(s.log->packets.size(), 100u);
    EXPECT_TRUE(isNumbered(s.log->packets));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "OPTIONS * RTSP/1.0"), lines.end());
  }
}

// Replies to keep-alives are no media: a stream that stops while the server
// still answers them ends after the receive timeout (3 s here) all the same.
TEST(SessionOptions, KeepAliveRepliesDoNotHideAStalledStream) {
  std::atomic<int> frames{0};
  HandshakeAnswers handshake;
  ScriptedServer server([&](const std::string& m, int) {
    if (methodOf(m) == "OPTIONS" && frames > 0) return reply("200 OK", 99);
    std::string answer = handshake(m);
    if (methodOf(m) == "PLAY") answer += numberedFrame(static_cast<std::uint32_t>(frames++));
    return answer;
  });
  RTSPSessionOptions options;
  options.keepAliveSec = 1;
  std::vector<std::string> lines;
  OptionsSession s(server.port, collecting(lines, options));
  CRTSPDownloadTestPeer{s.d}.setTimeouts(3, 1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(s.d.startRTSPDownload(false, true));
  while (s.d.lastFailure().step == RTSP_STEP_NONE &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(6)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  expectFailure(s.d.lastFailure(), RTSP_STEP_RECEIVE, 0, "", "timed out after 3 s without data");
  EXPECT_GT(took.count(), 2.9);
  EXPECT_GE(server.heard("OPTIONS").size(), 3u) << "keep-alives were answered meanwhile";
  s.d.stop();
}

TEST(SessionOptions, StandardRequests) {
  struct Row {
    const char* name;
    std::string path, describeHeaders, sdp, setupUrl, playUrl;
  };
  const std::string base = "rtsp://127.0.0.1:PORT/live%20cam";
  const std::string video = "m=video 0 RTP/AVP 96 97\r\na=rtpmap:96 H264/90000\r\n";
  // clang-format off
  const Row rows[] = {
      {"Content-Base, session-level *", "live cam", "Content-Base: " + base + "/\r\n",
          "v=0\r\na=control:*\r\n" + video + "a=control:trackID=1\r\nm=audio 0 RTP/AVP 0\r\n",
          base + "/trackID=1", base + "/"},
      {"no base, absolute video control, no session-level control", "live cam", "",
          "v=0\r\n" + video + "a=control:rtsp://10.0.0.9/t/1\r\n", "rtsp://10.0.0.9/t/1", base},
      {"Content-Location, only an audio section has a control", "live cam",
          "Content-Location: " + base + "/x/\r\n",
          "v=0\r\n" + video + "m=audio 0 RTP/AVP 0\r\na=control:audio\r\n", base + "/x/", base},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unsigned port = 0;
    const auto withPort = [&port](std::string text) {
      for (std::string::size_type at; (at = text.find("PORT")) != std::string::npos;) {
        text.replace(at, 4, std::to_string(port));
      }
      return text;
    };
    ScriptedServer server([&](const std::string& m, int) {
      HandshakeAnswers answers;
      answers.describeHeaders = withPort(row.describeHeaders);
      answers.body = withPort(row.sdp);
      return answers(m);
    });
    port = server.port;
    RTSPSessionOptions options;
    options.standardRequests = true;
    OptionsSession s(port, options, row.path);
    CoutCapture quiet;
    ASSERT_TRUE(s.d.startRTSPDownload(false, true));
    s.d.stop();
    server.finish();
    const std::vector<Heard> heard = server.heard();
    ASSERT_EQ(heard.size(), 5u);
    EXPECT_EQ(heard[0].text.substr(0, heard[0].text.find("\r\n")),
              "OPTIONS " + withPort(base) + " RTSP/1.0");
    EXPECT_EQ(heard[1].text.substr(0, heard[1].text.find("\r\n")),
              "DESCRIBE " + withPort(base) + " RTSP/1.0");
    EXPECT_EQ(heard[2].text, request("SETUP " + withPort(row.setupUrl), 3,
                                     "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    EXPECT_EQ(heard[3].text, request("PLAY " + withPort(row.playUrl), 4,
                                     "range: npt=0.000000-\r\nSession: 4711\r\n"));
    EXPECT_EQ(heard[4].text, request("TEARDOWN " + withPort(row.playUrl), 5, "Session: 4711\r\n"));
  }
}

TEST(SessionOptions, Redirects) {
  struct Row {
    const char* name;
    int maxRedirects;
    // The Location of connection c's DESCRIBE reply ("" for a whole handshake).
    std::vector<std::string> locations;
    bool started;
    std::string detail;
  };
  // clang-format off
  const Row rows[] = {
      {"a chain of two", 3,
          {"rtsp://127.0.0.1:PORT/second", "rtsp://user:pw@127.0.0.1:PORT/third", ""}, true, ""},
      {"a loop", 2,
          {"rtsp://127.0.0.1:PORT/live", "rtsp://127.0.0.1:PORT/live", "rtsp://127.0.0.1:PORT/live"},
          false, "over 2 redirects"},
      {"another scheme", 2, {"http://127.0.0.1:PORT/live"}, false,
          "redirected to \"http://127.0.0.1:PORT/live\", which is not an rtsp:// URL"},
      {"not followed without the option", 0, {"rtsp://127.0.0.1:PORT/second"}, false,
          "the server refused DESCRIBE"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unsigned port = 0;
    const auto withPort = [&port](std::string text) {
      const std::string::size_type at = text.find("PORT");
      return at == std::string::npos ? text : text.replace(at, 4, std::to_string(port));
    };
    ScriptedServer server(
        [&](const std::string& m, int c) {
          const std::string location =
              static_cast<std::size_t>(c) < row.locations.size() ? row.locations[c] : "";
          if (methodOf(m) == "DESCRIBE" && !location.empty()) {
            return reply("302 Found", 2, "Location: " + withPort(location) + "\r\n");
          }
          return HandshakeAnswers()(m);
        },
        nullptr, static_cast<int>(row.locations.size()));
    port = server.port;
    RTSPSessionOptions options;
    options.maxRedirects = row.maxRedirects;
    OptionsSession s(port, options);
    CoutCapture quiet;
    EXPECT_EQ(s.d.startRTSPDownload(false, true), row.started);
    s.d.stop();
    server.finish();
    if (!row.started) {
      expectFailure(s.d.lastFailure(), RTSP_STEP_DESCRIBE, 302, "RTSP/1.0 302 Found",
                    withPort(row.detail));
      continue;
    }
    // The last server hears the whole handshake again, from OPTIONS with CSeq 1.
    const std::vector<Heard> heard = server.heard();
    const auto last =
        std::find_if(heard.begin(), heard.end(), [](const Heard& h) { return h.connection == 2; });
    ASSERT_NE(last, heard.end());
    EXPECT_EQ(last->text, request("OPTIONS Rtsp://127.0.0.1:" + std::to_string(port) + "/third", 1,
                                  "User-Agent: (ORVE Streaming Media )\r\n"));
    EXPECT_EQ(methodOf(heard.back().text), "TEARDOWN");
  }
}

TEST(SessionOptions, BoundedReplies) {
  std::string manyHeaders;
  for (int i = 0; i < 101; ++i) manyHeaders += "X-Filler: 1\r\n";
  struct Row {
    const char* name;
    std::string optionsReply;
    bool bounded;
    int code;
    std::string detail;
  };
  // clang-format off
  const Row rows[] = {
      {"a line over 8 KiB", reply("200 OK", 1, "X: " + std::string(8200, 'x') + "\r\n"), true, 200,
          "a reply line over 8 KiB"},
      {"101 header lines", reply("200 OK", 1, manyHeaders), true, 200,
          "a reply with over 100 header lines"},
      {"both, unbounded", reply("200 OK", 1, manyHeaders + "X: " + std::string(9000, 'x') + "\r\n"),
          false, 0, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server([&](const std::string& m, int) {
      return methodOf(m) == "OPTIONS" ? row.optionsReply : HandshakeAnswers()(m);
    });
    RTSPSessionOptions options;
    options.boundedReplies = row.bounded;
    OptionsSession s(server.port, options);
    CoutCapture quiet;
    EXPECT_EQ(s.d.startRTSPDownload(false, true), !row.bounded);
    s.d.stop();
    server.finish();
    if (row.bounded) {
      expectFailure(s.d.lastFailure(), RTSP_STEP_OPTIONS, row.code, "RTSP/1.0 200 OK", row.detail);
    }
  }

  // A reply that drips in, one byte every 100 ms, exceeds the step's time
  // (the receive timeout, cut to 1 s here) although no single wait does:
  // the header block of the OPTIONS reply, or the body of the DESCRIBE reply.
  struct Drip {
    const char* name;
    std::vector<std::string> answers;  // one per request; of the last, all but `atOnce` drips
    std::size_t atOnce;
    RTSP_STEP step;
    int code;
    std::string statusLine;
  };
  const std::string slowHeader = reply("200 OK", 1, "X-Slow: " + std::string(40, 'x') + "\r\n");
  const std::string slowBody =
      reply("200 OK", 2, "Content-Length: 100\r\n", "v=0\r\n" + std::string(95, 'x'));
  // clang-format off
  const Drip drips[] = {
      {"OPTIONS headers", {slowHeader}, 17, RTSP_STEP_OPTIONS, 200, "RTSP/1.0 200 OK"},
      {"DESCRIBE body", {Handshake(0).answers[0], slowBody}, slowBody.size() - 100, RTSP_STEP_SDP,
          0, ""},
  };
  // clang-format on
  for (const Drip& drip : drips) {
    SCOPED_TRACE(drip.name);
    unsigned port = 0;
    const int listenFd = listenLoopback(port);
    std::thread dripper([listenFd, &drip] {
      const int fd = ::accept(listenFd, nullptr, nullptr);
      std::string got;
      for (std::size_t i = 0; i < drip.answers.size(); ++i) {
        for (char c; got.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1;) {
          got += c;
        }
        got.clear();
        const std::string& answer = drip.answers[i];
        const std::size_t atOnce = i + 1 < drip.answers.size() ? answer.size() : drip.atOnce;
        ::send(fd, answer.data(), atOnce, MSG_NOSIGNAL);
        for (const char c : answer.substr(atOnce)) {
          if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      ::close(fd);
    });
    RTSPSessionOptions options;
    options.boundedReplies = true;
    OptionsSession s(port, options);
    CoutCapture quiet;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.d.startRTSPDownload(false, true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    expectFailure(s.d.lastFailure(), drip.step, drip.code, drip.statusLine,
                  "the server took over 1 s to answer");
    s.d.stop();
    dripper.join();
    ::close(listenFd);
  }
}

// A server that protects its stream: `answer` sees each request and how
// many requests of its method came before; what it returns for a request
// is sent, "" meaning the handshake's own answer.
TEST(SessionOptions, Credentials) {
  const std::string basic = "WWW-Authenticate: Basic realm=\"cam\"\r\n";
  const auto digest = [](const std::string& nonce, const std::string& extra = "") {
    return "WWW-Authenticate: Digest realm=\"cam\", nonce=\"" + nonce +
           "\", qop=\"auth\", algorithm=SHA-256" + extra + "\r\n";
  };
  const auto unauthorized = [](const std::string& m, const std::string& challenge) {
    return reply("401 Unauthorized", static_cast<unsigned>(std::stoul(headerOf(m, "CSeq"))),
                 challenge + "Content-Length: 12\r\n", "no entrance!");
  };
  struct Row {
    const char* name;
    std::function<std::string(const std::string& message, int before)> answer;
    bool started;
    // Of the requests of each method, the one that must carry `authorization`.
    std::vector<std::string> methods;
    std::string authorization, detail;
  };
  const Row rows[] = {
      {"Basic at DESCRIBE",
       [&](const std::string& m, int before) {
         return methodOf(m) == "DESCRIBE" && before == 0 ? unauthorized(m, basic) : "";
       },
       true,
       {"DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"},
       "Basic " + base64Encode("user:s3cret"),
       ""},
      {"Basic and Digest offered, Digest at SETUP",
       [&](const std::string& m, int before) {
         return methodOf(m) == "SETUP" && before == 0 ? unauthorized(m, basic + digest("n1")) : "";
       },
       true,
       {"SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"},
       "Digest username=\"user\", realm=\"cam\", nonce=\"n1\"",
       ""},
      {"a stale nonce in the middle of the handshake",
       [&](const std::string& m, int before) {
         const std::string method = methodOf(m);
         if (method == "DESCRIBE" && before == 0) return unauthorized(m, digest("n1"));
         if (method == "SETUP" && before == 0) return unauthorized(m, digest("n2"));
         if (method == "SETUP" && before == 1) return unauthorized(m, digest("n3", ", stale=true"));
         return std::string();
       },
       true,
       {"SETUP", "PLAY", "TEARDOWN"},
       "Digest username=\"user\", realm=\"cam\", nonce=\"n3\"",
       ""},
      {"a wrong password",
       [&](const std::string& m, int) {
         return methodOf(m) == "DESCRIBE" ? unauthorized(m, digest("n1")) : "";
       },
       false,
       {},
       "",
       "authentication failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, int> counts;
    HandshakeAnswers handshake;
    handshake.publicHeader = "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER";
    ScriptedServer server(
        [&](const std::string& m, int) {
          const std::string answer = row.answer(m, counts[methodOf(m)]++);
          return answer.empty() ? handshake(m) : answer;
        },
        [&counts] { return counts["PLAY"] > 0 ? numberedFrame(0) : std::string(); });
    RTSPSessionOptions options;
    options.user = "user";
    options.password = "s3cret";
    options.keepAliveSec = 1;
    std::vector<std::string> lines;
    OptionsSession s(server.port, collecting(lines, options));
    EXPECT_EQ(s.d.startRTSPDownload(false, true), row.started);
    if (row.started) std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    s.d.stop();
    server.finish();

    if (!row.started) {
      expectFailure(s.d.lastFailure(), RTSP_STEP_DESCRIBE, 401, "RTSP/1.0 401 Unauthorized",
                    row.detail);
      EXPECT_EQ(server.heard("DESCRIBE").size(), 2u) << "one retry, no more";
    }
    for (const std::string& method : row.methods) {
      const std::vector<Heard> heard = server.heard(method);
      ASSERT_FALSE(heard.empty()) << method;
      const std::string sent = headerOf(heard.back().text, "Authorization");
      EXPECT_EQ(sent.substr(0, row.authorization.size()), row.authorization) << method;
      // The request URI of the request line, exactly.
      if (sent.compare(0, 7, "Digest ") == 0) {
        const std::string uri = heard.back().text.substr(method.size() + 1);
        EXPECT_NE(sent.find("uri=\"" + uri.substr(0, uri.find(' ')) + "\""), std::string::npos)
            << method;
      }
    }
    // Neither the password nor its Basic encoding reaches the diagnostics.
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
      EXPECT_EQ(line.find(base64Encode("user:s3cret")), std::string::npos) << line;
    }
    EXPECT_GT(std::count(lines.begin(), lines.end(), "Authorization: <credentials hidden>"), 0);
  }
}

}  // namespace
