// The session tests' one scripted RTSP server on 127.0.0.1, the texts it
// speaks, a recording host, and one session fixture configured by a struct.
#ifndef RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rtsppull/rtsp_download.h>

#include "loopback.h"
#include "session_peer.h"

namespace rtsptest {

inline std::string frame(char magic, char channel, const std::string& payload) {
  const auto n = static_cast<unsigned>(payload.size());
  return std::string{magic, channel, static_cast<char>(n >> 8), static_cast<char>(n)} + payload;
}
// A frame whose payload is the 4-byte big-endian `n`.
inline std::string numbered(std::uint32_t n) {
  return frame('$', 0, {char(n >> 24), char(n >> 16), char(n >> 8), char(n)});
}
// Status line, "CSeq: <cseq>", the header lines, empty line, body.
inline std::string reply(const std::string& status, unsigned cseq, const std::string& headers = "",
                         const std::string& body = "") {
  return "RTSP/1.0 " + status + "\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers + "\r\n" +
         body;
}
// A request as the session writes it: request line, CSeq, other headers, empty line.
inline std::string request(const std::string& line, unsigned cseq, const std::string& headers) {
  return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers + "\r\n";
}
// A video description with a stream header and the relative control URL
// "trackID=1" (a session-level one comes first and is not used).
const std::string kSdp =
    "v=0\r\na=control:*\r\nm=video 0 RTP/AVP 96\r\na=fmtp:96 "
    "packetization-mode=1;config=000001B0F5\r\na=control:trackID=1\r\n";
const std::string kHeader("\x00\x00\x01\xB0\xF5", 5);  // its config= value

// The value of header `name` (exact case) of a message, or "".
inline std::string headerOf(const std::string& message, const std::string& name) {
  const std::string tag = "\r\n" + name + ": ";
  const std::string::size_type at = message.find(tag);
  if (at == std::string::npos) return std::string();
  return message.substr(at + tag.size(), message.find("\r\n", at + tag.size()) - at - tag.size());
}
// The first word of a message: the method of a request, "RTSP/1.0" of a reply.
inline std::string methodOf(const std::string& m) { return m.substr(0, m.find(' ')); }
inline unsigned cseqOf(const std::string& m) {
  return static_cast<unsigned>(std::stoul("0" + headerOf(m, "CSeq")));
}

// One message the client sent: its connection (from 0), its text, and when
// it came, in seconds since that connection was accepted.
struct Heard {
  int connection;
  std::string text;
  double at;
};

// Serves `connections` connections one after the other, each until the
// client closes it (at most 30 s) or, with `closeAfter`, once that many
// messages are answered. Every whole message the client sends is answered
// by `answer` (with every "PORT" in it replaced by the server's port); every
// `tickMs` while a connection is open what `tick` returns is sent too.
class ScriptedServer {
 public:
  using Answer = std::function<std::string(const std::string& message, int connection)>;
  struct Script {
    Answer answer;
    std::function<std::string()> tick = nullptr;
    int connections = 1;
    int tickMs = 20;
    std::size_t closeAfter = 0;  // 0: never
  };
  explicit ScriptedServer(Script script) : listenFd_(listenLoopback(port)) {
    thread_ = std::thread([this, script] {
      for (int c = 0; c < script.connections && serveOne(c, script);) ++c;
    });
  }
  // Answers the messages in order from `answers` ("" for none), then closes
  // when `close`.
  static Script inOrder(std::vector<std::string> answers, bool close) {
    auto next = std::make_shared<std::size_t>(0);
    return {[answers, next](const std::string&, int) {
              return *next < answers.size() ? answers[(*next)++] : std::string();
            },
            nullptr, 1, 20, close ? answers.size() : 0};
  }
  ~ScriptedServer() { finish(); }
  void finish() {
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }
  // The messages heard so far whose method is `method` (all for "").
  std::vector<Heard> heard(const std::string& method = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Heard> found;
    for (const Heard& h : heard_) {
      if (method.empty() || methodOf(h.text) == method) found.push_back(h);
    }
    return found;
  }
  // All the client sent, in one text.
  std::string received() {
    std::string all;
    for (const Heard& h : heard()) all += h.text;
    return all;
  }

  // `text` with every "PORT" replaced by the server's port.
  std::string withPort(std::string text) const {
    for (std::string::size_type at; (at = text.find("PORT")) != std::string::npos;)
      text.replace(at, 4, std::to_string(port));
    return text;
  }

  unsigned port = 0;

 private:
  bool serveOne(int connection, const Script& script) {
    pollfd wanted{listenFd_, POLLIN, 0};
    const int fd = ::poll(&wanted, 1, 30000) == 1 ? ::accept(listenFd_, nullptr, nullptr) : -1;
    if (fd < 0) return false;
    const auto start = std::chrono::steady_clock::now();
    std::string pending, out;
    std::size_t answered = 0;
    for (char buf[4096]; std::chrono::steady_clock::now() - start < std::chrono::seconds(30);) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, script.tickMs) == 1) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
      }
      for (std::string::size_type end; (end = pending.find("\r\n\r\n")) != std::string::npos;) {
        const std::string message = pending.substr(0, end + 4);
        const std::chrono::duration<double> at = std::chrono::steady_clock::now() - start;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          heard_.push_back({connection, message, at.count()});
        }
        out += script.answer(message, connection);
        pending.erase(0, end + 4);
        ++answered;
      }
      out = withPort(out);
      // The answers leave before the tick runs: what it sends follows them.
      if (!out.empty()) ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      if (script.closeAfter > 0 && answered >= script.closeAfter) break;
      out = script.tick ? script.tick() : std::string();
      if (!out.empty()) ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      out.clear();
    }
    ::close(fd);
    return true;
  }

  int listenFd_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Heard> heard_;
};

// Answers a handshake on any path by method, echoing the CSeq: OPTIONS with
// `publicHeader`, DESCRIBE with `describeHeaders` and `body`, SETUP and PLAY
// with "Session: <session>"; anything else with nothing.
struct HandshakeAnswers {
  std::string session = "4711;timeout=60";
  std::string publicHeader = "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN";
  std::string describeHeaders, body = kSdp;
  std::string operator()(const std::string& m, int = 0) const {
    const std::string method = methodOf(m), length = std::to_string(body.size());
    if (method == "OPTIONS") return reply("200 OK", cseqOf(m), "Public: " + publicHeader + "\r\n");
    if (method == "DESCRIBE") {
      return reply("200 OK", cseqOf(m), describeHeaders + "Content-Length: " + length + "\r\n",
                   body);
    }
    if (method != "SETUP" && method != "PLAY") return std::string();
    return reply("200 OK", cseqOf(m), "Session: " + session + "\r\n");
  }
};

// A UDP server's script: answers as HandshakeAnswers, a SETUP with client
// ports with `transport` after them (or the status `refuse` when given), one
// without them with interleaved TCP. With `afterPlay`, at every tick from PLAY
// to the next request it runs with the client's RTP port (0 over TCP) and the
// tick's number (from 0); what it returns goes on the connection.
inline ScriptedServer::Script udpScript(
    const std::string& transport, const std::string& refuse,
    std::function<std::string(unsigned clientRtpPort, int tick)> afterPlay = nullptr,
    int connections = 1) {
  auto state = std::make_shared<std::pair<unsigned, int>>(0, -1);  // client RTP port, tick
  const auto answer = [=](const std::string& m, int) {
    const std::string method = methodOf(m), session = "Session: 77\r\nTransport: RTP/AVP";
    const std::string::size_type client = m.find("client_port=");
    state->second = method == "PLAY" ? 0 : -1;
    if (method == "TEARDOWN") return reply("200 OK", cseqOf(m));
    if (method != "SETUP") return HandshakeAnswers()(m);
    state->first = client == std::string::npos ? 0 : unsigned(std::stoul(m.substr(client + 12)));
    if (state->first == 0) return reply("200 OK", cseqOf(m), session + "/TCP;interleaved=0-1\r\n");
    if (!refuse.empty()) return reply(refuse, cseqOf(m));
    const std::string ports = std::to_string(state->first) + "-" + std::to_string(state->first + 1);
    return reply("200 OK", cseqOf(m),
                 session + ";unicast;client_port=" + ports + transport + "\r\n");
  };
  const auto tick = [=] {
    return afterPlay && state->second >= 0 ? afterPlay(state->first, state->second++) : "";
  };
  return {answer, tick, connections};
}

// The default handshake with 127.0.0.1:<port>/live, byte for byte, written
// out independently of the library: CSeq 1 to 4, session "4711;timeout=60".
// The DESCRIBE reply carries `body` (with a Content-Length unless
// `withLength` is false); SETUP goes to `setupTarget` (default: the relative
// "trackID=1"), or is left out for "-".
struct Handshake {
  explicit Handshake(unsigned port, const std::string& body = kSdp, bool withLength = true,
                     std::string setupTarget = "") {
    const std::string agent = "User-Agent: (ORVE Streaming Media )\r\n", id = "4711;timeout=60";
    const std::string url = "Rtsp://127.0.0.1:" + std::to_string(port) + "/live";
    if (setupTarget.empty()) setupTarget = url + "/trackID=1";
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    add(request("OPTIONS " + url, 1, agent), reply("200 OK", 1, "Public: PLAY\r\n"));
    add(request("DESCRIBE " + url, 2, "Accept: application/sdp\r\n" + agent),
        reply("200 OK", 2, "Content-Type: application/sdp\r\n" + (withLength ? length : ""), body));
    echo.resize(echo.size() - body.size());  // of the body, the lines in its first 8192 bytes
    echo += body.substr(0, body.rfind('\r', 8191)) + "\r\n";
    const unsigned play = setupTarget == "-" ? 3 : 4;
    if (play == 4)
      add(request("SETUP " + setupTarget, 3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"),
          reply("200 OK", 3, "Session: " + id + "\r\n"));
    add(request("PLAY " + url, play,
                "range: npt=0.000000-\r\nSession: " + (play == 4 ? id : "") + "\r\n"),
        reply("200 OK", play, "Session: " + id + "\r\n"));
    teardown = request("TEARDOWN " + url, play + 1, "Mission:" + id + "\r\n");
  }
  void add(const std::string& request, const std::string& answer) {
    answers.push_back(answer);
    sent.push_back((sent.empty() ? "" : sent.back()) + request);
    echo += request + answer;
  }
  std::vector<std::string> answers, sent;  // sent[i]: requests 0 to i in a row
  std::string teardown, echo;              // echo: what the session prints
};

// What the host saw: the stream header, "|" and the description's text; the
// packets (number `refusePacket`, from 1, refused; the header too when
// `refuseHeader`). Read `header` and `packets` once the session has stopped;
// packetCount() at any time.
struct HostLog : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (isFileHeader) header = std::string(data, length) + "|" + sdp->text;
    if (!isFileHeader) packets.emplace_back(data, length);
    return isFileHeader ? !refuseHeader : packets.size() != refusePacket;
  }
  std::size_t packetCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets.size();
  }
  std::mutex mutex;
  std::string header;
  std::vector<std::string> packets;
  std::size_t refusePacket = 0;
  bool refuseHeader = false;
};

// A host that also takes packets by track: each one in `got`, in order.
struct TrackLog : HostLog, IRTPTrackReceiver {
  struct Got {
    int track;
    bool rtcp;
    std::string data;
  };
  bool OnTrackData(int track, const char* data, unsigned int length, bool rtcp) override {
    std::lock_guard<std::mutex> lock(mutex);
    got.push_back({track, rtcp, std::string(data, length)});
    return true;
  }
  std::size_t count(int track, bool rtcp) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::size_t>(std::count_if(
        got.begin(), got.end(), [&](const Got& g) { return g.track == track && g.rtcp == rtcp; }));
  }
  std::vector<Got> got;
};

struct CoutCapture {  // routes std::cout into `text` while it lives
  CoutCapture() : old(std::cout.rdbuf(text.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old); }
  std::ostringstream text;
  std::streambuf* old;
};

// The waits for data the sessions' receive threads (and UDP setups) have
// begun.
inline std::atomic<int>& waits() {
  static std::atomic<int> count{0};
  return count;
}

struct SessionConfig {
  RTSPSessionOptions options;  // diagnostics unset: std::cout is captured in `out`
  std::string path = "live";
  int recvSec = 1, sdpSec = 1;  // the receive timeouts
  unsigned localPortBase = 0;
  bool quiet = false;  // quietOnFailure
  std::size_t refusePacket = 0;
  bool refuseHeader = false;
  bool refuseThreads = false;  // the system refuses the receive thread
  bool pollFails = false;      // every wait of the session fails (ENOMEM)
  bool trackReceiver = false;  // the host is a TrackLog
};

// A session on 127.0.0.1:<port>/<path>. Its diagnostics are kept in `lines`;
// the callback counts in `notes` and keeps what lastFailure() said then.
struct Session {
  Session(unsigned port, SessionConfig cfg)
      : config(std::move(cfg)), log(config.trackReceiver ? new TrackLog : new HostLog) {
    if (!config.options.diagnostics)
      capture.reset(new CoutCapture);
    else
      config.options.diagnostics = [this](const std::string& line) { lines.push_back(line); };
    d.initInfo("127.0.0.1", port, config.path, config.localPortBase, ACE_Time_Value(2, 0), 0);
    log->refusePacket = config.refusePacket;
    log->refuseHeader = config.refuseHeader;
    d.registeRTPReceiver(log);
    d.setOptions(config.options);
    d.setRecvTimeoutCallbackFun(
        [](void* arg) {
          Session* const s = static_cast<Session*>(arg);
          s->atCallback = s->d.lastFailure();
          ++s->notes;
        },
        this);
    CRTSPDownloadTestPeer{d}.setTimeouts(config.recvSec, config.sdpSec);
    if (config.refuseThreads) CRTSPDownloadTestPeer{d}.refuseThreads();
    CRTSPDownloadTestPeer{d}.setPoll(config.pollFails ? [](pollfd*, unsigned long, int) {
      errno = ENOMEM;
      return -1;
    } : [](pollfd* fds, unsigned long count, int ms) {
      ++waits();
      return ::poll(fds, count, ms);
    });
  }
  bool start() { return d.startRTSPDownload(true, config.quiet); }
  // Waits up to `ms` for `done`.
  bool await(const std::function<bool()>& done, int ms = 5000) {
    for (int i = 0; i < ms / 5 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
  }
  bool awaitPackets(std::size_t n) {
    return await([&] { return log->packetCount() >= n; });
  }
  std::string out() const { return capture ? capture->text.str() : std::string(); }

  SessionConfig config;
  HostLog* log;  // owned by d
  std::unique_ptr<CoutCapture> capture;
  std::vector<std::string> lines;
  std::atomic<int> notes{0};
  RTSPFailure atCallback;
  CRTSPDownload d;
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_
