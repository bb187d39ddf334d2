// The loopback RTSP server: the in-process LoopbackServer and, built with
// LOOPBACK_SERVER_MAIN, the loopback_server program (loopback_server.h).
#include "loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace loopback {

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

// A listening TCP socket on 127.0.0.1 with an ephemeral port, or -1.
int listenLoopback(int backlog, std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Moves the first complete request (header block and any body) of `pending`
// to `request`; false while it is not complete.
bool takeRequest(std::string& pending, std::string& request) {
  const std::size_t end = pending.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::size_t total = end + 4;
  std::string lower = pending.substr(0, end);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t cl = lower.find("content-length:");
  if (cl != std::string::npos) total += std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
  if (pending.size() < total) return false;
  request = pending.substr(0, total);
  pending.erase(0, total);
  return true;
}

// The value of header `name` (any case) in `request`, trimmed; "" when absent.
std::string headerOf(const std::string& request, const std::string& name) {
  std::istringstream lines(request);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(line[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (!same) continue;
    std::string value = line.substr(name.size() + 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return value;
  }
  return {};
}

// A reply: status line, CSeq, `headers` (each ending in CR LF), then the body
// with its Content-Length.
std::string rtspReply(const std::string& cseq, const std::string& status,
                      const std::string& headers, const std::string& body = {}) {
  std::string text = "RTSP/1.0 " + status + "\r\nCSeq: " + cseq + "\r\n" + headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
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
  int udpPort = 0;    // the client's RTP port, when its SETUP asked for UDP
  std::chrono::steady_clock::time_point playAt;
  std::atomic<std::uint64_t> sent{0};
};

LoopbackServer::LoopbackServer(const ServerOptions& options) : options_(options) {
  if (options_.packetSize < 32 || options_.packetSize > 65535) {
    throw std::invalid_argument("packet size out of range");
  }
  listenFd_ = listenLoopback(512, port_);
  if (listenFd_ < 0 || ::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
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

namespace {

// One datagram from a socket of its own to 127.0.0.1:`port`.
bool sendDatagram(int port, const char* data, std::size_t size) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool sent = ::sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to),
                             sizeof to) == static_cast<ssize_t>(size);
  ::close(fd);
  return sent;
}

}  // namespace

// Answers one complete request; false ends the connection.
bool LoopbackServer::handleRequest(Connection& c, const std::string& request) {
  const std::string method = request.substr(0, request.find(' '));
  const std::string cseq = headerOf(request, "CSeq");
  const std::string session = "Session: " + std::to_string(1000 + c.id) + "\r\n";
  std::string reply;
  if (method == "OPTIONS") {
    reply = rtspReply(cseq, "200 OK", "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n");
  } else if (method == "DESCRIBE") {
    reply = rtspReply(cseq, "200 OK", "Content-Type: application/sdp\r\n", kSdp);
  } else if (method == "SETUP") {
    // UDP when asked for: only the frames after PLAY go that way.
    const std::string transport = headerOf(request, "Transport");
    const std::size_t ports = transport.find("client_port=");
    c.udpPort = transport.find("TCP") == std::string::npos && ports != std::string::npos
                    ? std::atoi(transport.c_str() + ports + 12)
                    : 0;
    reply = rtspReply(
        cseq, "200 OK",
        (c.udpPort > 0 ? "Transport: RTP/AVP;unicast;client_port=" + std::to_string(c.udpPort) +
                             "-" + std::to_string(c.udpPort + 1) + "\r\n"
                       : std::string("Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")) +
            session);
  } else if (method == "PLAY") {
    reply = rtspReply(cseq, "200 OK", session);
  } else if (method == "TEARDOWN") {
    return true;  // no reply is read
  } else {
    reply = rtspReply(cseq, "405 Method Not Allowed", "");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sendAll(c.fd, reply.data(), reply.size())) return false;
  if (method == "PLAY" && !c.playing) {
    for (int i = 0; i < options_.framesAfterPlay; ++i) {
      const char frame[] = {'$', 0, 0, 16, '\x80', 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0};
      if (c.udpPort > 0) {
        if (!sendDatagram(c.udpPort, frame + 4, sizeof frame - 4)) return false;
      } else if (!sendAll(c.fd, frame, sizeof frame)) {
        return false;
      }
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
        std::string request;
        while (keep && takeRequest(c.input, request)) keep = handleRequest(c, request);
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

}  // namespace loopback

#ifdef LOOPBACK_SERVER_MAIN

#include <algorithm>
#include <memory>
#include <queue>

#include <openssl/ssl.h>

namespace {

using namespace loopback;

std::mutex g_out_mutex;
std::mutex g_in_mutex;

std::int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleepUntilNs(int64_t deadline) {
  timespec ts{};
  ts.tv_sec = deadline / 1000000000;
  ts.tv_nsec = deadline % 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "loopback_server: %s\n", what.c_str());
  std::exit(1);
}

// The recording, laid out once as interleaved frames back to back.
struct Recording {
  std::string sprop;
  std::string profileLevelId;
  uint32_t tsStep = 0;
  std::vector<char> frames;     // "$", channel 0, length, packet; repeated
  std::vector<size_t> offsets;  // start of each interleaved frame
  std::vector<uint16_t> seq;    // original sequence numbers
  std::vector<uint32_t> ts;     // original timestamps
  std::vector<bool> marker;     // end of a video frame
};

std::string fieldOf(const std::string& line, const std::string& key) {
  const std::string tag = " " + key + "=";
  const size_t at = line.find(tag);
  if (at == std::string::npos) return {};
  const size_t start = at + tag.size();
  return line.substr(start, line.find_first_of(" \n", start) - start);
}

Recording loadRecording(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot open " + path);
  std::string header;
  std::getline(in, header);
  if (header.rfind("rtpstream ", 0) != 0) die(path + " is not a recorded stream");
  Recording rec;
  rec.sprop = fieldOf(header, "sprop-parameter-sets");
  rec.profileLevelId = fieldOf(header, "profile-level-id");
  rec.tsStep = static_cast<uint32_t>(std::strtoul(fieldOf(header, "ts-step").c_str(), nullptr, 10));
  unsigned char lenBytes[2];
  while (in.read(reinterpret_cast<char*>(lenBytes), 2)) {
    const size_t len = (size_t{lenBytes[0]} << 8) | lenBytes[1];
    if (len < 12) die("packet shorter than an RTP header in " + path);
    const size_t at = rec.frames.size();
    rec.frames.resize(at + 4 + len);
    char* frame = rec.frames.data() + at;
    frame[0] = '$';
    frame[1] = 0;
    frame[2] = static_cast<char>(len >> 8);
    frame[3] = static_cast<char>(len & 0xff);
    if (!in.read(frame + 4, static_cast<std::streamsize>(len))) die("truncated " + path);
    const auto* rtp = reinterpret_cast<const unsigned char*>(frame + 4);
    rec.offsets.push_back(at);
    rec.seq.push_back(static_cast<uint16_t>((rtp[2] << 8) | rtp[3]));
    rec.ts.push_back((uint32_t{rtp[4]} << 24) | (uint32_t{rtp[5]} << 16) | (uint32_t{rtp[6]} << 8) |
                     uint32_t{rtp[7]});
    rec.marker.push_back((rtp[1] & 0x80) != 0);
  }
  if (rec.offsets.empty()) die(path + " holds no packet");
  return rec;
}

struct Options {
  std::string streamPath;
  std::string path = "bench";
  uint64_t packets = 100000;
  double bitrate = 0;  // bits per second; 0: as fast as the socket takes it
  int clients = 1;
  bool holdPlay = false;
  bool audio = false;
  bool oneLoop = false;         // --one-loop: every client on one event loop
  std::string tlsCert, tlsKey;  // --tls CERT KEY: rtsps://
};

// Reads one request (header block and any body) from the socket.
bool readRequest(int fd, std::string& pending, std::string& request) {
  while (!takeRequest(pending, request)) {
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    pending.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The session description of the replayed recording.
std::string replaySdp(const Recording& rec, bool audio) {
  return "v=0\r\n"
         "o=- 1 1 IN IP4 127.0.0.1\r\n"
         "s=bench\r\n"
         "c=IN IP4 127.0.0.1\r\n"
         "t=0 0\r\n"
         "m=video 0 RTP/AVP 96\r\n"
         "a=rtpmap:96 H264/90000\r\n"
         "a=fmtp:96 packetization-mode=1;profile-level-id=" +
         rec.profileLevelId + ";sprop-parameter-sets=" + rec.sprop +
         "\r\n"
         "a=control:trackID=0\r\n" +
         (audio ? "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=control:trackID=1\r\n" : "");
}

class Client {
 public:
  Client(int fd, int index, int port, const Options& opt, const Recording& rec)
      : fd_(fd), index_(index), port_(port), opt_(opt), rec_(rec) {}

  void run() {
    int64_t playNs = 0;
    if (handshake(playNs)) stream(playNs);
    if (udp_ >= 0) ::close(udp_);
    if (audioUdp_ >= 0) ::close(audioUdp_);
    ::close(fd_);
  }

 private:
  bool reply(const std::string& cseq, const std::string& status, const std::string& headers,
             const std::string& body = {}) {
    const std::string text = rtspReply(cseq, status, headers, body);
    return sendAll(fd_, text.data(), text.size());
  }

  std::string sdp() const { return replaySdp(rec_, opt_.audio); }

  // Answers requests until PLAY; the request URL is not checked, so any
  // scheme spelling and any path are served.
  bool handshake(int64_t& playNs) {
    std::string pending;
    std::string request;
    const std::string session = "Session: 27182818;timeout=60\r\n";
    while (readRequest(fd_, pending, request)) {
      const std::string method = request.substr(0, request.find(' '));
      const std::string cseq = headerOf(request, "CSeq");
      bool sent = true;
      if (method == "OPTIONS") {
        sent = reply(cseq, "200 OK",
                     "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n");
      } else if (method == "DESCRIBE") {
        sent = reply(cseq, "200 OK",
                     "Content-Base: rtsp://127.0.0.1:" + std::to_string(port_) + "/" + opt_.path +
                         "/\r\nContent-Type: application/sdp\r\n",
                     sdp());
      } else if (method == "SETUP") {
        const std::string transport = headerOf(request, "Transport");
        const size_t ports = transport.find("client_port=");
        const bool audio =
            request.substr(0, request.find('\r')).find("trackID=1") != std::string::npos;
        audioSetUp_ = audioSetUp_ || (audio && opt_.audio);
        int& fd = audio ? audioUdp_ : udp_;
        int& port = audio ? audioUdpPort_ : udpPort_;
        if (transport.find("TCP") != std::string::npos) {
          sent = reply(cseq, "200 OK",
                       std::string("Transport: RTP/AVP/TCP;unicast;interleaved=") +
                           (audio ? "2-3" : "0-1") + "\r\n" + session);
        } else if (ports != std::string::npos &&
                   openUdp(std::atoi(transport.c_str() + ports + 12), fd, port)) {
          const std::string clientPorts =
              transport.substr(ports + 12, transport.find(';', ports) - ports - 12);
          sent = reply(cseq, "200 OK",
                       "Transport: RTP/AVP;unicast;client_port=" + clientPorts +
                           ";server_port=" + std::to_string(port) + "-" + std::to_string(port + 1) +
                           "\r\n" + session);
        } else {
          sent = reply(cseq, "461 Unsupported Transport", "");
        }
      } else if (method == "PLAY") {
        playNs = nowNs();
        if (opt_.holdPlay) {
          say("play " + std::to_string(index_) + " " + std::to_string(playNs) + "\n");
          std::string ignored;
          std::lock_guard<std::mutex> lock(g_in_mutex);
          std::getline(std::cin, ignored);
        }
        const uint32_t firstSeq = rec_.seq.front();
        return reply(cseq, "200 OK",
                     session + "Range: npt=0.000-\r\nRTP-Info: url=rtsp://127.0.0.1:" +
                         std::to_string(port_) + "/" + opt_.path +
                         "/trackID=0;seq=" + std::to_string(firstSeq) +
                         ";rtptime=" + std::to_string(rec_.ts.front()) + "\r\n");
      } else if (method == "TEARDOWN") {
        reply(cseq, "200 OK", session);
        return false;
      } else {
        sent = reply(cseq, "200 OK", "");
      }
      if (!sent) return false;
    }
    return false;
  }

  // A UDP socket `fd` on 127.0.0.1 (its port in `port`), connected to the
  // client's RTP port.
  bool openUdp(int clientRtpPort, int& fd, int& port) {
    if (clientRtpPort <= 0 || clientRtpPort > 65535) return false;
    if (fd >= 0) ::close(fd);
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return false;
    }
    port = ntohs(addr.sin_port);
    addr.sin_port = htons(static_cast<uint16_t>(clientRtpPort));
    return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  // With the audio track set up: after the video frame that ends with the
  // marker, the audio due by then (PCMU, 20 ms per packet, taking the
  // recording's 30 frames per second), as interleaved frames on channel 2
  // appended to `out`; every 150th video frame also a sender report for
  // each track (channels 1 and 3; over TCP only).
  void appendAudio(std::vector<char>& out, size_t& used, uint64_t videoFrames, uint32_t videoTs) {
    const uint64_t due = videoFrames * 50 / 30;
    auto append = [&](char channel, const unsigned char* packet, size_t size) {
      if (out.size() < used + 4 + size) out.resize(used + 4 + size);
      char* frame = out.data() + used;
      frame[0] = '$';
      frame[1] = channel;
      frame[2] = static_cast<char>(size >> 8);
      frame[3] = static_cast<char>(size & 0xff);
      std::memcpy(frame + 4, packet, size);
      used += 4 + size;
    };
    unsigned char packet[172];
    for (; audioSent_ < due; ++audioSent_) {
      std::memset(packet, 0xFF, sizeof packet);
      const auto seq = static_cast<uint16_t>(audioSent_);
      const auto ts = static_cast<uint32_t>(audioSent_ * 160);
      const unsigned char head[12] = {0x80,
                                      0,
                                      static_cast<unsigned char>(seq >> 8),
                                      static_cast<unsigned char>(seq),
                                      static_cast<unsigned char>(ts >> 24),
                                      static_cast<unsigned char>(ts >> 16),
                                      static_cast<unsigned char>(ts >> 8),
                                      static_cast<unsigned char>(ts),
                                      0,
                                      0xA0,
                                      0xD1,
                                      0x00};
      std::memcpy(packet, head, sizeof head);
      append(2, packet, sizeof packet);
    }
    if (videoFrames % 150 != 0 || udp_ >= 0) return;
    const uint64_t ntp = static_cast<uint64_t>(nowNs()) / 1000000000u << 32;
    for (int track = 0; track < 2; ++track) {
      const uint32_t rtp = track == 0 ? videoTs : static_cast<uint32_t>(audioSent_ * 160);
      const uint32_t words[7] = {0x80C80006u,
                                 track == 0 ? 0x1u : 0xA0D100u,
                                 static_cast<uint32_t>(ntp >> 32),
                                 static_cast<uint32_t>(ntp),
                                 rtp,
                                 0,
                                 0};
      unsigned char report[28];
      for (size_t w = 0; w < 7; ++w) {
        for (size_t b = 0; b < 4; ++b)
          report[4 * w + b] = static_cast<unsigned char>(words[w] >> (24 - 8 * b));
      }
      append(static_cast<char>(2 * track + 1), report, sizeof report);
    }
  }

  // Sends the interleaved frames in scratch[0, size) as datagrams without
  // their 4-byte headers. False when the socket fails (not when the client
  // drops a datagram: that is the client's loss).
  bool sendUdp(int fd, const char* data, size_t size) {
    mmsghdr messages[64];
    iovec parts[64];
    size_t at = 0;
    while (at < size) {
      unsigned count = 0;
      for (; count < 64 && at < size; ++count) {
        const size_t len = (size_t{static_cast<unsigned char>(data[at + 2])} << 8) |
                           static_cast<unsigned char>(data[at + 3]);
        parts[count].iov_base = const_cast<char*>(data + at + 4);
        parts[count].iov_len = len;
        messages[count] = mmsghdr{};
        messages[count].msg_hdr.msg_iov = &parts[count];
        messages[count].msg_hdr.msg_iovlen = 1;
        at += 4 + len;
      }
      unsigned done = 0;
      while (done < count) {
        const int n = ::sendmmsg(fd, messages + done, count - done, 0);
        if (n < 0) {
          if (errno == EINTR) continue;
          // Loopback reports a full receiver as ECONNREFUSED only when no
          // socket is bound; ENOBUFS is a drop on the sending side.
          if (errno == ENOBUFS || errno == EAGAIN) {
            ++done;
            continue;
          }
          return false;
        }
        done += static_cast<unsigned>(n);
      }
    }
    return true;
  }

  // Rewrites the sequence number and timestamp of packet i of pass `pass`,
  // whose interleaved frame has been copied to `frame`.
  void stamp(char* frame, size_t i, uint64_t pass) const {
    char* rtp = frame + 4;
    const uint64_t n = rec_.offsets.size();
    const auto seq = static_cast<uint16_t>(rec_.seq.front() + pass * n + i);
    const auto ts = static_cast<uint32_t>(rec_.ts[i] + pass * rec_.tsStep);
    rtp[2] = static_cast<char>(seq >> 8);
    rtp[3] = static_cast<char>(seq & 0xff);
    rtp[4] = static_cast<char>(ts >> 24);
    rtp[5] = static_cast<char>((ts >> 16) & 0xff);
    rtp[6] = static_cast<char>((ts >> 8) & 0xff);
    rtp[7] = static_cast<char>(ts & 0xff);
  }

  size_t frameEnd(size_t i) const {
    return i + 1 < rec_.offsets.size() ? rec_.offsets[i + 1] : rec_.frames.size();
  }

  void stream(int64_t playNs) {
    // The client may send RTCP or requests while it plays: read and drop
    // them, and learn that way when the client has gone.
    std::atomic<bool> clientGone{false};
    std::atomic<int64_t> drainDeadline{INT64_MAX};
    std::thread drain([&] {
      char buf[4096];
      while (nowNs() < drainDeadline.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) break;
      }
      clientGone = true;
    });

    const size_t n = rec_.offsets.size();
    const int64_t startNs = nowNs();
    int64_t firstNs = 0;
    uint64_t sent = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    bool ok = true;
    constexpr size_t kChunk = 256 * 1024;
    // The recording is shared by every client; each chunk is copied here and
    // stamped with this client's sequence numbers and timestamps.
    std::vector<char> scratch(kChunk + 70000);
    // Over UDP the audio goes out after its chunk of video, on its own socket.
    std::vector<char> audio;
    size_t audioUsed = 0;
    for (uint64_t pass = 0; ok && sent < opt_.packets; ++pass) {
      size_t i = 0;
      while (ok && i < n && sent < opt_.packets) {
        // One chunk: whole frames, up to kChunk bytes when unpaced, up to the
        // end of the video frame when paced.
        const size_t first = i;
        size_t used = 0;  // bytes of the chunk in scratch
        audioUsed = 0;
        while (i < n && sent < opt_.packets) {
          const size_t len = frameEnd(i) - rec_.offsets[i];
          if (scratch.size() < used + len) scratch.resize(used + len);
          std::memcpy(scratch.data() + used, rec_.frames.data() + rec_.offsets[i], len);
          stamp(scratch.data() + used, i, pass);
          used += len;
          frames += rec_.marker[i] ? 1 : 0;
          ++sent;
          ++i;
          if (audioSetUp_ && rec_.marker[i - 1]) {
            // After the video frame: in the chunk over TCP, apart over UDP.
            const auto ts = static_cast<uint32_t>(rec_.ts[i - 1] + pass * rec_.tsStep);
            appendAudio(udp_ >= 0 ? audio : scratch, udp_ >= 0 ? audioUsed : used, frames, ts);
          }
          if (opt_.bitrate > 0 ? rec_.marker[i - 1] : used >= kChunk) break;
        }
        if (opt_.bitrate > 0) {
          sleepUntilNs(startNs +
                       static_cast<int64_t>(static_cast<double>(bytes) * 8e9 / opt_.bitrate));
        }
        if (firstNs == 0) firstNs = nowNs();
        ok = !clientGone && (udp_ >= 0 ? sendUdp(udp_, scratch.data(), used) &&
                                             sendUdp(audioUdp_, audio.data(), audioUsed)
                                       : sendAll(fd_, scratch.data(), used));
        if (!ok) sent -= i - first;
        bytes += used;
      }
    }
    const int64_t endNs = nowNs();
    if (udp_ >= 0) {
      // The last datagrams reach the client before the connection ends.
      sleepUntilNs(endNs + 300000000);
      ::close(udp_);
      udp_ = -1;
    }
    ::shutdown(fd_, SHUT_WR);
    drainDeadline = nowNs() + int64_t{30} * 1000000000;
    drain.join();
    std::ostringstream line;
    line << "client " << index_ << " packets=" << sent << " frames=" << frames << " bytes=" << bytes
         << " play_ns=" << playNs << " first_ns=" << firstNs << " end_ns=" << endNs
         << " ok=" << (ok && sent == opt_.packets ? 1 : 0) << "\n";
    say(line.str());
  }

  int fd_;
  int udp_ = -1;  // the RTP socket, once a SETUP asked for UDP
  int udpPort_ = 0;
  // The audio track (--audio), once set up: its socket over UDP, and the
  // packets sent.
  bool audioSetUp_ = false;
  int audioUdp_ = -1;
  int audioUdpPort_ = 0;
  uint64_t audioSent_ = 0;
  int index_;
  int port_;
  const Options& opt_;
  const Recording& rec_;
};

long argValue(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void cpuLine() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  std::printf("cpu user_us=%lld sys_us=%lld\n",
              static_cast<long long>(u.ru_utime.tv_sec) * 1000000 + u.ru_utime.tv_usec,
              static_cast<long long>(u.ru_stime.tv_sec) * 1000000 + u.ru_stime.tv_usec);
  std::fflush(stdout);
}

void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

Options parseOptions(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--stream") {
      opt.streamPath = value();
    } else if (arg == "--packets") {
      opt.packets = std::strtoull(value().c_str(), nullptr, 10);
    } else if (arg == "--bitrate") {
      opt.bitrate = std::strtod(value().c_str(), nullptr);
    } else if (arg == "--clients") {
      opt.clients = std::atoi(value().c_str());
    } else if (arg == "--path") {
      opt.path = value();
    } else if (arg == "--hold-play") {
      opt.holdPlay = true;
    } else if (arg == "--one-loop") {
      opt.oneLoop = true;
    } else if (arg == "--audio") {
      opt.audio = true;
    } else if (arg == "--tls") {
      opt.tlsCert = value();
      opt.tlsKey = value();
    } else {
      die("unknown argument " + arg);
    }
  }
  if (opt.streamPath.empty()) die("--stream FILE is required");
  if (opt.clients < 1) die("--clients must be at least 1");
  return opt;
}

// --tls: each connection's TLS runs in a thread of its own between the
// client's socket and a socket pair, whose other end the Client uses as its
// connection; the server's TLS work never counts as the client's.
void tlsPump(int fd, SSL_CTX* context, int inner) {
  SSL* const ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  std::vector<char> buf(256 * 1024);
  if (SSL_accept(ssl) == 1) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (bool open = true; open;) {
      pollfd p[2] = {{fd, POLLIN, 0}, {inner, POLLIN, 0}};
      if (::poll(p, 2, 1000) < 0 && errno != EINTR) break;
      if (p[0].revents != 0) {
        int n;
        while ((n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()))) > 0) {
          open = sendAll(inner, buf.data(), static_cast<size_t>(n));
        }
        open = open && SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ;
      }
      if (open && p[1].revents != 0) {
        const ssize_t got = ::recv(inner, buf.data(), buf.size(), 0);
        open = got > 0;
        for (ssize_t done = 0; open && done < got;) {
          const int n = SSL_write(ssl, buf.data() + done, static_cast<int>(got - done));
          if (n > 0) {
            done += n;
          } else if (SSL_get_error(ssl, n) == SSL_ERROR_WANT_WRITE) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, 1000);
          } else {
            open = false;
          }
        }
      }
    }
  }
  SSL_free(ssl);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  ::close(inner);
}

// --one-loop: the replay of replayMain for many clients on one thread, so
// that a thousand paced clients cost the server one epoll loop and one send
// per video frame each, not two threads each. Interleaved TCP only, no
// audio, no TLS. Each client streams from its own PLAY until it has
// --packets packets (0: no limit) or until a line "stop" (or the end of
// input) arrives on stdin; then, at the end of a video frame, the server
// shuts its side down, prints the client's line and waits up to 30 s for
// the client to close.
class OneLoop {
 public:
  OneLoop(const Options& opt, const Recording& rec) : opt_(opt), rec_(rec) {
    for (size_t i = 0; i < rec_.offsets.size(); ++i) {
      if (rec_.marker[i] || i + 1 == rec_.offsets.size()) frameEnds_.push_back(i + 1);
    }
  }

  int run() {
    raiseDescriptorLimit();
    clients_.reserve(static_cast<size_t>(opt_.clients));
    listener_ = listenLoopback(4096, port_);
    if (listener_ < 0) die("cannot listen on 127.0.0.1");
    ::fcntl(listener_, F_SETFL, O_NONBLOCK);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    watch(listener_, kListener);
    watch(0, kStdin);
    say("port " + std::to_string(port_) + "\n");
    epoll_event events[256];
    while (!finished()) {
      int timeoutMs = 1000;
      if (!due_.empty()) {
        const int64_t wait = due_.top().first - nowNs();
        timeoutMs = wait <= 0 ? 0 : static_cast<int>(std::min<int64_t>(wait / 1000000 + 1, 1000));
      }
      const int n = ::epoll_wait(epoll_, events, 256, timeoutMs);
      for (int e = 0; e < n; ++e) {
        const uint64_t key = events[e].data.u64;
        if (key == kListener) {
          acceptAll();
        } else if (key == kStdin) {
          readStdin();
        } else {
          readClient(clients_[key]);
        }
      }
      const int64_t now = nowNs();
      while (!due_.empty() && due_.top().first <= now) {
        const size_t index = due_.top().second;
        due_.pop();
        sendFrame(clients_[index], now);
      }
    }
    return 0;
  }

 private:
  static constexpr uint64_t kListener = ~uint64_t{0};
  static constexpr uint64_t kStdin = ~uint64_t{0} - 1;
  enum class State { kHandshake, kPlaying, kDraining, kClosed };
  struct Conn {
    int fd = -1;
    State state = State::kHandshake;
    std::string pending;  // request bytes not answered yet
    std::string out;      // stream bytes the socket did not take yet
    std::string name;     // the last segment of the path DESCRIBE asked for
    uint64_t pass = 0, next = 0, sent = 0, frames = 0, bytes = 0;
    int64_t playNs = 0, firstNs = 0, endNs = 0, closeBy = 0;
  };

  void watch(int fd, uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
  }

  // Looked at every 100 ms: the scan is over every client.
  bool finished() {
    const int64_t now = nowNs();
    if (now < nextCheck_) return false;
    nextCheck_ = now + 100000000;
    size_t closed = 0;
    for (Conn& c : clients_) {
      if (c.state == State::kDraining && now > c.closeBy) closeClient(c);
      closed += c.state == State::kClosed ? 1 : 0;
    }
    if (stopping_ && !stopPrinted_) stopHandshakes();
    return clients_.size() == static_cast<size_t>(opt_.clients) && closed == clients_.size();
  }

  void acceptAll() {
    while (clients_.size() < static_cast<size_t>(opt_.clients)) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      clients_.emplace_back();
      clients_.back().fd = fd;
      watch(fd, clients_.size() - 1);
    }
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
  }

  void readStdin() {
    char buf[256];
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n > 0) stdin_.append(buf, static_cast<size_t>(n));
    if (n <= 0 || stdin_.find("stop") != std::string::npos) {
      stopping_ = true;
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, 0, nullptr);
    }
  }

  // Clients still in their handshake when the stop comes are let go.
  void stopHandshakes() {
    stopPrinted_ = true;
    for (Conn& c : clients_) {
      if (c.state == State::kHandshake) endStream(c);
    }
  }

  void readClient(Conn& c) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        if (c.state != State::kDraining) endStream(c);
        closeClient(c);
        return;
      }
      if (n < 0) return;
      // After PLAY what the client sends (RTCP, keep-alives) is dropped.
      if (c.state == State::kHandshake) c.pending.append(buf, static_cast<size_t>(n));
      std::string request;
      while (c.state == State::kHandshake && takeRequest(c.pending, request)) answer(c, request);
    }
  }

  void answer(Conn& c, const std::string& request) {
    const std::string method = request.substr(0, request.find(' '));
    const std::string cseq = headerOf(request, "CSeq");
    const std::string session = "Session: 27182818;timeout=60\r\n";
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(port_) + "/" + opt_.path;
    std::string text;
    if (method == "DESCRIBE") {
      const std::string url = request.substr(0, request.find(" RTSP/"));
      c.name = url.substr(url.rfind('/') + 1);
      text = rtspReply(cseq, "200 OK",
                       "Content-Base: " + base + "/\r\nContent-Type: application/sdp\r\n",
                       replaySdp(rec_, false));
    } else if (method == "SETUP") {
      text = headerOf(request, "Transport").find("TCP") != std::string::npos
                 ? rtspReply(cseq, "200 OK",
                             "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" + session)
                 : rtspReply(cseq, "461 Unsupported Transport", "");
    } else if (method == "PLAY") {
      text = rtspReply(cseq, "200 OK",
                       session + "Range: npt=0.000-\r\nRTP-Info: url=" + base +
                           "/trackID=0;seq=" + std::to_string(rec_.seq.front()) +
                           ";rtptime=" + std::to_string(rec_.ts.front()) + "\r\n");
      c.state = State::kPlaying;
      c.playNs = nowNs();
      due_.emplace(c.playNs, static_cast<size_t>(&c - clients_.data()));
    } else if (method == "OPTIONS") {
      text = rtspReply(cseq, "200 OK",
                       "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n");
    } else {
      text = rtspReply(cseq, "200 OK", session);
    }
    c.out.append(text);
    flush(c);
  }

  // Sends what the socket takes of c.out; the rest waits for the next frame.
  void flush(Conn& c) {
    while (!c.out.empty()) {
      const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      c.out.erase(0, static_cast<size_t>(n));
    }
  }

  // One video frame of c's stream, stamped with its sequence numbers and
  // timestamps, in one send; the next is due when the byte count allows it.
  void sendFrame(Conn& c, int64_t now) {
    if (c.state != State::kPlaying) return;
    const bool limit = opt_.packets > 0 && c.sent >= opt_.packets;
    if (stopping_ || limit) {
      flush(c);
      if (!c.out.empty()) {
        due_.emplace(now + 10000000, static_cast<size_t>(&c - clients_.data()));
        return;
      }
      endStream(c);
      return;
    }
    const size_t n = rec_.offsets.size();
    const size_t end = *std::upper_bound(frameEnds_.begin(), frameEnds_.end(), c.next);
    const size_t at = c.out.size();
    c.out.append(rec_.frames.data() + rec_.offsets[c.next],
                 (end < n ? rec_.offsets[end] : rec_.frames.size()) - rec_.offsets[c.next]);
    for (size_t i = c.next, offset = at; i < end; ++i) {
      char* rtp = &c.out[offset + 4];
      const auto seq = static_cast<uint16_t>(rec_.seq.front() + c.pass * n + i);
      const auto ts = static_cast<uint32_t>(rec_.ts[i] + c.pass * rec_.tsStep);
      const unsigned char stamp[6] = {
          static_cast<unsigned char>(seq >> 8), static_cast<unsigned char>(seq),
          static_cast<unsigned char>(ts >> 24), static_cast<unsigned char>(ts >> 16),
          static_cast<unsigned char>(ts >> 8),  static_cast<unsigned char>(ts)};
      std::memcpy(rtp + 2, stamp, sizeof stamp);
      offset += (i + 1 < n ? rec_.offsets[i + 1] : rec_.frames.size()) - rec_.offsets[i];
      ++c.sent;
    }
    c.bytes += c.out.size() - at;
    ++c.frames;
    c.next = end;
    if (c.next == n) {
      c.next = 0;
      ++c.pass;
    }
    if (c.firstNs == 0) c.firstNs = now;
    flush(c);
    due_.emplace(c.playNs + static_cast<int64_t>(static_cast<double>(c.bytes) * 8e9 / opt_.bitrate),
                 static_cast<size_t>(&c - clients_.data()));
  }

  void endStream(Conn& c) {
    c.endNs = nowNs();
    ::shutdown(c.fd, SHUT_WR);
    c.state = State::kDraining;
    c.closeBy = c.endNs + int64_t{30} * 1000000000;
    std::ostringstream line;
    line << "client " << (&c - clients_.data()) << " packets=" << c.sent << " frames=" << c.frames
         << " bytes=" << c.bytes << " play_ns=" << c.playNs << " first_ns=" << c.firstNs
         << " end_ns=" << c.endNs << " ok=" << (c.out.empty() ? 1 : 0) << " name=" << c.name
         << "\n";
    say(line.str());
  }

  void closeClient(Conn& c) {
    if (c.state == State::kClosed) return;
    ::close(c.fd);
    c.state = State::kClosed;
  }

  const Options& opt_;
  const Recording& rec_;
  std::vector<size_t> frameEnds_;  // one past the last packet of each video frame
  int listener_ = -1, epoll_ = -1;
  std::uint16_t port_ = 0;
  std::string stdin_;
  bool stopping_ = false, stopPrinted_ = false;
  int64_t nextCheck_ = 0;
  std::vector<Conn> clients_;  // reserved for every client: never moves
  std::priority_queue<std::pair<int64_t, size_t>, std::vector<std::pair<int64_t, size_t>>,
                      std::greater<std::pair<int64_t, size_t>>>
      due_;  // (time, client): the next frame of a playing client
};

int replayMain(int argc, char** argv) {
  const Options opt = parseOptions(argc, argv);
  const Recording rec = loadRecording(opt.streamPath);
  if (opt.oneLoop) {
    if (opt.bitrate <= 0) die("--one-loop needs --bitrate");
    return OneLoop(opt, rec).run();
  }

  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(nullptr, SSL_CTX_free);
  if (!opt.tlsCert.empty()) {
    context.reset(SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_use_certificate_chain_file(context.get(), opt.tlsCert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), opt.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1) {
      die("cannot load the TLS certificate or key");
    }
  }
  std::uint16_t port = 0;
  const int listener = listenLoopback(64, port);
  if (listener < 0) die("cannot listen on 127.0.0.1");
  say("port " + std::to_string(port) + "\n");

  std::vector<std::thread> threads;
  for (int i = 0; i < opt.clients; ++i) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR) {
        --i;
        continue;
      }
      die("accept failed");
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int connection = fd;
    if (context) {
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) die("socketpair");
      threads.emplace_back([fd, &context, inner = pair[1]] { tlsPump(fd, context.get(), inner); });
      connection = pair[0];
    }
    threads.emplace_back(
        [connection, i, port, &opt, &rec] { Client(connection, i, port, opt, rec).run(); });
  }
  ::close(listener);
  for (std::thread& t : threads) t.join();
  return 0;
}

int loadMain(int argc, char** argv) {
  raiseDescriptorLimit();
  ServerOptions options;
  options.stream = true;
  options.bitsPerSecond = static_cast<double>(argValue(argc, argv, "--bitrate", 1000000));
  options.packetSize = static_cast<std::size_t>(argValue(argc, argv, "--packet", 1400));
  options.frameMs = static_cast<int>(argValue(argc, argv, "--frame-ms", 40));
  const long maxSeconds = argValue(argc, argv, "--max-seconds", 900);

  std::unique_ptr<LoopbackServer> server(new LoopbackServer(options));
  std::printf("port %u\n", static_cast<unsigned>(server->port()));
  std::fflush(stdout);

  const auto startAt = std::chrono::steady_clock::now();
  std::string pending;
  char buf[256];
  for (;;) {
    const double left = static_cast<double>(maxSeconds) - secondsSince(startAt);
    if (left <= 0) break;
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left < 1 ? 1000 * left + 1 : 1000)) <= 0) continue;
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    std::string::size_type end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (command == "cpu") {
        cpuLine();
      } else if (command == "stop") {
        server->stopPacing();
        unsigned long long total = 0;
        const std::size_t accepted = server->connectionsAccepted();
        for (std::size_t id = 0; id < accepted; ++id) {
          const unsigned long long sent = server->sent(id);
          total += sent;
          std::printf("sent %zu %llu\n", id, sent);
        }
        std::printf("stopped total=%llu blocked=%llu\n", total,
                    static_cast<unsigned long long>(server->blockedSends()));
        std::fflush(stdout);
      }
    }
  }
  server.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--paced") == 0) return loadMain(argc, argv);
  }
  return replayMain(argc, argv);
}

#endif  // LOOPBACK_SERVER_MAIN
