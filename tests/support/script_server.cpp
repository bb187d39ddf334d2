#include "support/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace rtsptest {
namespace {

using Clock = std::chrono::steady_clock;
const auto kMaxWait = std::chrono::seconds(40);  // beyond the 20 s receive timeout

int listenOnLoopback(std::uint16_t& port, bool listening) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      (listening && ::listen(fd, 4) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("bind/listen on 127.0.0.1");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 50) > 0;
}

}  // namespace

ScriptServer::Script& ScriptServer::Script::expect(const std::string& request) {
  steps.push_back([request](ScriptServer& s, int fd) {
    std::string got;  // one byte at a time: nothing of a later request is taken
    const auto end = Clock::now() + std::chrono::seconds(10);
    char c;
    while (Clock::now() < end && !s.stop_ &&
           (got.size() < 4 || got.compare(got.size() - 4, 4, "\r\n\r\n") != 0)) {
      if (!readable(fd)) continue;
      if (::recv(fd, &c, 1, 0) != 1) break;
      got.push_back(c);
    }
    if (got == request) return true;
    s.fail("expected " + request + "\n     got " + got);
    return false;
  });
  return *this;
}

ScriptServer::Script& ScriptServer::Script::send(const std::string& bytes) {
  steps.push_back([bytes](ScriptServer&, int fd) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  });
  return *this;
}

ScriptServer::Script& ScriptServer::Script::pause(int milliseconds) {
  steps.push_back([milliseconds](ScriptServer& s, int) {
    std::unique_lock<std::mutex> lock(s.mutex_);
    return !s.cv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [&s] { return s.stop_.load(); });
  });
  return *this;
}

ScriptServer::Script& ScriptServer::Script::reset() {
  steps.push_back([](ScriptServer&, int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    return false;
  });
  return *this;
}

ScriptServer::Script& ScriptServer::Script::close() {
  steps.push_back([](ScriptServer&, int) { return false; });
  return *this;
}

ScriptServer::ScriptServer() : listenFd_(listenOnLoopback(port_, true)) {}

ScriptServer::~ScriptServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);  // no pause may miss the wake-up
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  ::close(listenFd_);
}

bool ScriptServer::waitDone(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}

std::vector<std::string> ScriptServer::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void ScriptServer::fail(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_.push_back(message);
}

void ScriptServer::run() {
  for (const Script& script : scripts_) {
    int fd = -1;
    const auto end = Clock::now() + kMaxWait;
    while (fd < 0 && Clock::now() < end && !stop_) {
      if (readable(listenFd_)) fd = ::accept(listenFd_, nullptr, nullptr);
    }
    if (fd < 0) {
      if (!stop_) fail("no connection");
      break;
    }
    ++accepted_;
    bool completed = true;
    for (const auto& step : script.steps) {
      if (!(completed = step(*this, fd))) break;
    }
    char buf[4096];
    const auto drainEnd = Clock::now() + kMaxWait;
    while (completed && Clock::now() < drainEnd && !stop_) {
      if (readable(fd) && ::recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
    ::close(fd);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
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
