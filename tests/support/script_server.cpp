#include "support/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace rtsptest {
namespace {

using Clock = std::chrono::steady_clock;

// Bound on every wait of the server, long enough for the 20 s receive
// timeout of the session.
const auto kMaxWait = std::chrono::seconds(40);

int listenOnLoopback(std::uint16_t& port, bool listening) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      (listening && ::listen(fd, 4) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind/listen on 127.0.0.1");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Waits up to 50 ms for `fd` to become readable.
bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 50) > 0;
}

// `text` with CR, LF and non-printable bytes made visible, for messages.
std::string visible(const std::string& text) {
  std::string out;
  for (const char c : text) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
    out += c == '\r'                 ? "\\r"
           : c == '\n'               ? "\\n"
           : (c >= 0x20 && c < 0x7F) ? std::string(1, c)
                                     : hex;
  }
  return out;
}

}  // namespace

ScriptServer::Script& ScriptServer::Script::expect(const std::string& request) {
  return add([request](ScriptServer& s, int fd) {
    std::string got;
    const bool complete = s.readRequest(fd, got);
    if (complete && got == request) return true;
    s.fail("expected " + visible(request) + "\n     got " + visible(got) +
           (complete ? "" : " (incomplete)"));
    return false;
  });
}

ScriptServer::Script& ScriptServer::Script::send(const std::string& bytes) {
  return add([bytes](ScriptServer&, int fd) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  });
}

ScriptServer::Script& ScriptServer::Script::pause(int milliseconds) {
  return add([milliseconds](ScriptServer& s, int) {
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < end && !s.stopping()) {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(20)));
    }
    return !s.stopping();
  });
}

ScriptServer::Script& ScriptServer::Script::hold() {
  return add([](ScriptServer& s, int) {
    std::unique_lock<std::mutex> lock(s.mutex_);
    s.cv_.wait_for(lock, std::chrono::seconds(10), [&s] { return s.released_ || s.stop_; });
    return !s.stop_;
  });
}

ScriptServer::Script& ScriptServer::Script::reset() {
  return add([](ScriptServer&, int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    return false;
  });
}

ScriptServer::Script& ScriptServer::Script::close() {
  return add([](ScriptServer&, int) { return false; });
}

ScriptServer::ScriptServer() : listenFd_(listenOnLoopback(port_, true)) {}

ScriptServer::~ScriptServer() {
  locked([this] { stop_ = true; });
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  ::close(listenFd_);
}

void ScriptServer::release() {
  locked([this] { released_ = true; });
  cv_.notify_all();
}

bool ScriptServer::waitDone(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}

void ScriptServer::fail(const std::string& message) {
  locked([&] {
    errors_.push_back("connection " + std::to_string(received_.size() - 1) + ": " + message);
  });
}

void ScriptServer::run() {
  for (const Script& script : scripts_) {
    int fd = -1;
    const auto end = Clock::now() + kMaxWait;
    while (fd < 0 && Clock::now() < end && !stopping()) {
      if (readable(listenFd_)) fd = ::accept(listenFd_, nullptr, nullptr);
    }
    if (fd < 0) {
      if (!stopping()) locked([this] { errors_.emplace_back("no connection"); });
      break;
    }
    locked([this] { received_.emplace_back(); });
    bool completed = true;
    for (const auto& step : script.steps_) {
      if (!step(*this, fd)) {
        completed = false;
        break;
      }
    }
    if (completed) readToEnd(fd);
    ::close(fd);
  }
  locked([this] { done_ = true; });
  cv_.notify_all();
}

bool ScriptServer::readRequest(int fd, std::string& request) {
  // One byte at a time: nothing of a later request is taken.
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end && !stopping()) {
    char c;
    if (!readable(fd)) continue;
    if (::recv(fd, &c, 1, 0) != 1) return false;
    locked([&] { received_.back().push_back(c); });
    request.push_back(c);
    if (request.size() >= 4 && request.compare(request.size() - 4, 4, "\r\n\r\n") == 0) return true;
  }
  return false;
}

void ScriptServer::readToEnd(int fd) {
  const auto end = Clock::now() + kMaxWait;
  char buf[4096];
  while (Clock::now() < end && !stopping()) {
    if (!readable(fd)) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    locked([&] { received_.back().append(buf, static_cast<std::size_t>(n)); });
  }
}

std::uint16_t unusedPort() {
  std::uint16_t port = 0;
  ::close(listenOnLoopback(port, false));
  return port;
}

std::string frame(char magic, unsigned char channel, const std::string& payload) {
  return std::string{magic, static_cast<char>(channel), static_cast<char>(payload.size() >> 8),
                     static_cast<char>(payload.size() & 0xFF)} +
         payload;
}

std::string reply(int code, const std::string& reason, unsigned cseq,
                  const std::vector<std::string>& headers, const std::string& body) {
  std::string out = "RTSP/1.0 " + std::to_string(code) + " " + reason +
                    "\r\nCSeq: " + std::to_string(cseq) + "\r\n";
  for (const std::string& header : headers) out += header + "\r\n";
  return out + "\r\n" + body;
}

}  // namespace rtsptest
