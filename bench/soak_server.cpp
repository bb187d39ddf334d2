#include "soak_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace soak {

namespace {

const char kSdp[] =
    "v=0\r\n"
    "o=- 1 1 IN IP4 127.0.0.1\r\n"
    "s=soak\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;config=000001B0F5\r\n"
    "a=control:trackID=1\r\n";

std::int64_t threadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void putBE32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

void putBE64(unsigned char* p, std::uint64_t v) {
  putBE32(p, static_cast<std::uint32_t>(v >> 32));
  putBE32(p + 4, static_cast<std::uint32_t>(v));
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string headerValue(const std::string& request, const std::string& name) {
  const std::string::size_type at = request.find("\r\n" + name + ":");
  if (at == std::string::npos) return std::string();
  std::string::size_type from = at + 2 + name.size() + 1;
  while (from < request.size() && request[from] == ' ') ++from;
  const std::string::size_type end = request.find("\r\n", from);
  return request.substr(from, end - from);
}

}  // namespace

std::uint32_t readBE32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::uint64_t readBE64(const unsigned char* p) {
  return (std::uint64_t{readBE32(p)} << 32) | readBE32(p + 4);
}

struct LoopbackServer::Connection {
  std::size_t id = 0;
  int fd = -1;
  std::string input;
  bool playing = false;
  bool dead = false;  // a send failed; nothing more is sent
  std::chrono::steady_clock::time_point playAt;
  std::atomic<std::uint64_t> sent{0};
};

LoopbackServer::LoopbackServer(const ServerOptions& options) : options_(options) {
  if (options_.packetSize < 32 || options_.packetSize > 65535) {
    throw std::invalid_argument("packet size out of range");
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(listenFd_, 512) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  loopThread_ = std::thread(&LoopbackServer::loop, this);
  if (options_.stream) {
    pacing_ = true;
    pacerThread_ = std::thread(&LoopbackServer::pace, this);
  }
}

LoopbackServer::~LoopbackServer() {
  stopPacing();
  stopping_ = true;
  const char wake = 0;
  (void)!::write(wakePipe_[1], &wake, 1);
  if (loopThread_.joinable()) loopThread_.join();
  for (const auto& c : connections_) {
    if (c->fd >= 0) ::close(c->fd);
  }
  ::close(listenFd_);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
}

void LoopbackServer::stopPacing() {
  pacing_ = false;
  if (pacerThread_.joinable()) pacerThread_.join();
}

std::uint64_t LoopbackServer::sent(std::size_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& c : connections_) {
    if (c->id == id) return c->sent;
  }
  return 0;
}

std::size_t LoopbackServer::connectionsAccepted() const { return accepted_; }

std::size_t LoopbackServer::connectionsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t open = 0;
  for (const auto& c : connections_) open += c->fd >= 0 ? 1 : 0;
  return open;
}

double LoopbackServer::cpuSeconds() const {
  return static_cast<double>(loopCpuNs_ + pacerCpuNs_) / 1e9;
}

// Answers one complete request; false ends the connection.
bool LoopbackServer::handleRequest(Connection& c, const std::string& request) {
  const std::string method = request.substr(0, request.find(' '));
  const std::string cseq = headerValue(request, "CSeq");
  std::string reply = "RTSP/1.0 200 OK\r\nCSeq: " + cseq + "\r\n";
  if (method == "OPTIONS") {
    reply += "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n\r\n";
  } else if (method == "DESCRIBE") {
    reply += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sizeof kSdp - 1) +
             "\r\n\r\n" + kSdp;
  } else if (method == "SETUP") {
    reply += "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: " +
             std::to_string(1000 + c.id) + "\r\n\r\n";
  } else if (method == "PLAY") {
    reply += "Session: " + std::to_string(1000 + c.id) + "\r\n\r\n";
  } else if (method == "TEARDOWN") {
    return true;  // no reply is read
  } else {
    reply = "RTSP/1.0 405 Method Not Allowed\r\nCSeq: " + cseq + "\r\n\r\n";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sendAll(c.fd, reply.data(), reply.size())) return false;
  if (method == "PLAY" && !c.playing) {
    for (int i = 0; i < options_.framesAfterPlay; ++i) {
      const char frame[] = {'$', 0, 0, 16, '\x80', 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0};
      if (!sendAll(c.fd, frame, sizeof frame)) return false;
    }
    c.playing = true;
    c.playAt = std::chrono::steady_clock::now();
  }
  return true;
}

void LoopbackServer::loop() {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<Connection>> polled;
  char buf[4096];
  while (!stopping_) {
    fds.clear();
    polled.clear();
    fds.push_back({wakePipe_[0], POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& c : connections_) {
        if (c->fd < 0) continue;
        fds.push_back({c->fd, POLLIN, 0});
        polled.push_back(c);
      }
    }
    const int ready = ::poll(fds.data(), fds.size(), 100);
    loopCpuNs_ = threadCpuNs();
    if (ready < 0 && errno != EINTR) break;
    if ((fds[1].revents & POLLIN) != 0) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        // Replies and frames leave at once, as a streaming server sends them.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        std::lock_guard<std::mutex> lock(mutex_);
        c->id = accepted_++;
        connections_.push_back(c);
      }
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (fds[i + 2].revents == 0) continue;
      Connection& c = *polled[i];
      const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      bool keep = n > 0;
      if (keep) {
        c.input.append(buf, static_cast<std::size_t>(n));
        std::string::size_type end;
        while (keep && (end = c.input.find("\r\n\r\n")) != std::string::npos) {
          const std::string request = c.input.substr(0, end + 4);
          c.input.erase(0, end + 4);
          keep = handleRequest(c, request);
        }
      }
      if (!keep) {
        // The client closed (or broke) the connection: the pacer stops
        // sending on it before the descriptor goes.
        std::lock_guard<std::mutex> lock(mutex_);
        ::close(c.fd);
        c.fd = -1;
      }
    }
    if (!options_.stream) {
      // Nobody asks for the counts of a closed connection: forget it, so that
      // a long run of connections does not grow the server.
      std::lock_guard<std::mutex> lock(mutex_);
      std::vector<std::shared_ptr<Connection>> open;
      for (const auto& c : connections_) {
        if (c->fd >= 0) open.push_back(c);
      }
      connections_.swap(open);
    }
  }
  loopCpuNs_ = threadCpuNs();
}

void LoopbackServer::pace() {
  using Clock = std::chrono::steady_clock;
  const double packetsPerSecond =
      options_.bitsPerSecond / (8.0 * static_cast<double>(options_.packetSize));
  const std::size_t frameSize = 4 + options_.packetSize;
  const double frameSeconds = options_.frameMs / 1000.0;
  // The payload bytes every packet shares; the stamps are written over them.
  std::vector<unsigned char> pattern(options_.packetSize);
  for (std::size_t b = 0; b < pattern.size(); ++b) pattern[b] = static_cast<unsigned char>(b);
  std::vector<unsigned char> burst;
  Clock::time_point slot = Clock::now();
  while (pacing_) {
    slot += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(slot);
    const Clock::time_point now = Clock::now();
    pacerCpuNs_ = threadCpuNs();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& c : connections_) {
      if (c->fd < 0 || !c->playing || c->dead) continue;
      double elapsed = std::chrono::duration<double>(now - c->playAt).count();
      if (frameSeconds > 0) {
        // Everything up to the end of the current frame interval, at once.
        elapsed = (std::floor(elapsed / frameSeconds) + 1) * frameSeconds;
      }
      const std::uint64_t due = static_cast<std::uint64_t>(elapsed * packetsPerSecond);
      const std::uint64_t first = c->sent;
      if (due <= first) continue;
      const std::uint64_t count = due - first;
      burst.resize(count * frameSize);  // every byte is written below
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t index = first + k;
        unsigned char* f = burst.data() + k * frameSize;
        f[0] = '$';
        f[1] = 0;
        f[2] = static_cast<unsigned char>(options_.packetSize >> 8);
        f[3] = static_cast<unsigned char>(options_.packetSize);
        unsigned char* p = f + 4;
        std::memcpy(p, pattern.data(), pattern.size());
        p[0] = 0x80;
        p[1] = static_cast<unsigned char>(((index % 7) == 6 ? 0x80 : 0) | 96);
        p[2] = static_cast<unsigned char>(index >> 8);
        p[3] = static_cast<unsigned char>(index);
        putBE32(p + 4, static_cast<std::uint32_t>(index / 7 * 3600));
        putBE32(p + StreamedPacket::kConnectionOffset, static_cast<std::uint32_t>(c->id));
        putBE32(p + 12, 0x01000000u);
        putBE64(p + StreamedPacket::kIndexOffset, index);
        putBE64(p + options_.packetSize - 8, index);
      }
      const ssize_t n = ::send(c->fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      std::size_t done = n > 0 ? static_cast<std::size_t>(n) : 0;
      if (done < burst.size()) {
        if (n < 0 && errno != EAGAIN) {
          c->dead = true;
          continue;
        }
        ++blockedSends_;
        if (!sendAll(c->fd, reinterpret_cast<const char*>(burst.data()) + done,
                     burst.size() - done)) {
          c->dead = true;
          continue;
        }
      }
      c->sent = due;
    }
  }
  pacerCpuNs_ = threadCpuNs();
}

}  // namespace soak
