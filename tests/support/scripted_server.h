// A scripted RTSP server for the session option tests: it answers every
// whole message the client sends (its requests, and its answers to requests
// of the server) through a function of the test, and while the test's tick
// function has bytes to send (frames during playback, say), sends them every
// few milliseconds. Serves connections one after the other on 127.0.0.1.
#ifndef RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"

namespace rtsptest {

// One message the client sent: its connection (from 0), its text and when
// it came, in seconds since that connection was accepted.
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
  const std::string::size_type from = at + tag.size();
  return message.substr(from, message.find("\r\n", from) - from);
}

// The first word of a message: the method of a request.
inline std::string methodOf(const std::string& message) {
  return message.substr(0, message.find(' '));
}

class ScriptedServer {
 public:
  // What to send back to one message of connection `connection`: "" for
  // nothing; kClose to close the connection.
  using Answer = std::function<std::string(const std::string& message, int connection)>;
  static constexpr const char* kClose = "\x01close";

  // Serves up to `connections` connections, each until the client closes it
  // (or 30 s pass). `tick` is called every `tickMs` while a connection is
  // open; what it returns is sent.
  explicit ScriptedServer(Answer answer, std::function<std::string()> tick = nullptr,
                          int connections = 1, int tickMs = 20)
      : answer_(std::move(answer)), tick_(std::move(tick)) {
    listenFd_ = listenLoopback(port);
    thread_ = std::thread([this, connections, tickMs] {
      for (int c = 0; c < connections && serveOne(c, tickMs);) ++c;
    });
  }
  ~ScriptedServer() { finish(); }

  // Waits until every connection has been served.
  void finish() {
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }
  // Everything heard so far.
  std::vector<Heard> heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }
  // The messages heard whose method is `method` ("RTSP/1.0" for answers).
  std::vector<Heard> heard(const std::string& method) {
    std::vector<Heard> found;
    for (const Heard& h : heard()) {
      if (methodOf(h.text) == method) found.push_back(h);
    }
    return found;
  }

  unsigned port = 0;

 private:
  bool serveOne(int connection, int tickMs) {
    pollfd wanted{listenFd_, POLLIN, 0};
    if (::poll(&wanted, 1, 30000) != 1) return false;
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return false;
    const auto start = std::chrono::steady_clock::now();
    std::string pending;
    bool open = true;
    while (open && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, tickMs) == 1) {
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::string::size_type end;
             open && (end = pending.find("\r\n\r\n")) != std::string::npos;) {
          const std::string message = pending.substr(0, end + 4);
          pending.erase(0, end + 4);
          const std::chrono::duration<double> at = std::chrono::steady_clock::now() - start;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            heard_.push_back({connection, message, at.count()});
          }
          const std::string reply = answer_(message, connection);
          if (reply == kClose) {
            open = false;
          } else if (!reply.empty()) {
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
          }
        }
      }
      if (open && tick_) {
        const std::string bytes = tick_();
        if (!bytes.empty()) ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      }
    }
    ::close(fd);
    return true;
  }

  Answer answer_;
  std::function<std::string()> tick_;
  int listenFd_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Heard> heard_;
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SCRIPTED_SERVER_H_
