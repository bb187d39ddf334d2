// A scripted RTSP server for the session option and UDP tests on 127.0.0.1:
// serves connections one after the other, answers every whole message the
// client sends through a function of the test, and sends what a tick function
// returns (frames during playback, say) every few milliseconds; the session
// those tests run against it.
#ifndef RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "session_support.h"

namespace rtsptest {

// One message the client sent: its connection (from 0), its text and when it
// came, in seconds since that connection was accepted.
struct Heard {
  int connection;
  std::string text;
  double at;
};

// The value of header `name` (exact case) of a message, or "".
inline std::string headerOf(const std::string& message, const std::string& name) {
  const std::string tag = "\r\n" + name + ": ";
  const std::string::size_type at = message.find(tag);
  if (at == std::string::npos) return std::string();
  return message.substr(at + tag.size(), message.find("\r\n", at + tag.size()) - at - tag.size());
}

// The first word of a message: the method of a request, "RTSP/1.0" of a reply.
inline std::string methodOf(const std::string& message) {
  return message.substr(0, message.find(' '));
}

class ScriptedServer {
 public:
  // What to send back to one message of connection `connection` ("": nothing).
  using Answer = std::function<std::string(const std::string& message, int connection)>;

  // Serves up to `connections` connections, each until the client closes it
  // (at most 30 s); `tick` runs every `tickMs` while one is open.
  explicit ScriptedServer(Answer answer, std::function<std::string()> tick = nullptr,
                          int connections = 1, int tickMs = 20)
      : listenFd_(listenLoopback(port)) {
    thread_ = std::thread([=] {
      for (int c = 0; c < connections && serveOne(c, answer, tick, tickMs);) ++c;
    });
  }
  ~ScriptedServer() { finish(); }

  // Waits until every connection has been served.
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

  unsigned port = 0;

 private:
  bool serveOne(int connection, const Answer& answer, const std::function<std::string()>& tick,
                int tickMs) {
    pollfd wanted{listenFd_, POLLIN, 0};
    const int fd = ::poll(&wanted, 1, 30000) == 1 ? ::accept(listenFd_, nullptr, nullptr) : -1;
    if (fd < 0) return false;
    const auto start = std::chrono::steady_clock::now();
    std::string pending, out;
    for (char buf[4096]; std::chrono::steady_clock::now() - start < std::chrono::seconds(30);) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, tickMs) == 1) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
      }
      for (std::string::size_type end; (end = pending.find("\r\n\r\n")) != std::string::npos;) {
        const std::chrono::duration<double> at = std::chrono::steady_clock::now() - start;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          heard_.push_back({connection, pending.substr(0, end + 4), at.count()});
        }
        out += answer(pending.substr(0, end + 4), connection);
        pending.erase(0, end + 4);
      }
      // The answers leave before the tick runs: what it sends (datagrams too) follows them.
      if (!out.empty()) ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      out = tick ? tick() : std::string();
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
  std::string operator()(const std::string& m) const {
    const unsigned cseq = static_cast<unsigned>(std::stoul("0" + headerOf(m, "CSeq")));
    const std::string method = methodOf(m), length = std::to_string(body.size());
    if (method == "OPTIONS") return reply("200 OK", cseq, "Public: " + publicHeader + "\r\n");
    if (method == "DESCRIBE") {
      return reply("200 OK", cseq, describeHeaders + "Content-Length: " + length + "\r\n", body);
    }
    if (method != "SETUP" && method != "PLAY") return std::string();
    return reply("200 OK", cseq, "Session: " + session + "\r\n");
  }
};

// A session on 127.0.0.1:<port>/<path> with `options`, a receive timeout of
// `recvSec` (SDP: 1 s), ports searched from `localPortBase`, and its
// diagnostics kept in `lines`.
struct OptionsSession {
  OptionsSession(unsigned port, RTSPSessionOptions options, const std::string& path = "live",
                 int recvSec = 1, unsigned localPortBase = 0) {
    options.diagnostics = [this](const std::string& line) { lines.push_back(line); };
    d.initInfo("127.0.0.1", port, path, localPortBase, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(log);
    d.setOptions(options);
    CRTSPDownloadTestPeer{d}.setTimeouts(recvSec, 1);
  }
  // Waits up to 3 s until the host has `count` packets.
  void awaitPackets(std::size_t count) {
    for (int i = 0; i < 600 && log->packetCount() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::vector<std::string> lines;
  CRTSPDownload d;
  HostLog* log = new HostLog;  // owned by d
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_
