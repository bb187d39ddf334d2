// Loopback RTSP server for the benchmarks.
//
// Answers OPTIONS, DESCRIBE, SETUP (interleaved TCP, or UDP to the client's
// port pair) and PLAY, then replays a recorded RTP stream
// (bench/make_stream.py) as interleaved "$" frames on channel 0, or as UDP
// datagrams to the client's RTP port: the recording is looped with
// continuous sequence numbers and timestamps until the requested number of
// packets is out, then the server shuts its side of the RTSP connection down
// and waits for the client to close.
//
//   bench_server --stream FILE [--packets N] [--bitrate BITS_PER_S]
//                [--clients K] [--hold-play] [--path NAME]
//
// Listens on 127.0.0.1 on an ephemeral port and prints "port N" on stdout.
// Serves K clients (default 1), each on its own thread, then exits. Without
// --bitrate every frame is written as fast as the socket takes it; with it,
// the packets of one video frame (up to the marker bit) leave in one burst,
// each burst when the byte count sent so far allows it, the way a camera
// sends. --hold-play prints "play I NS" when client I's PLAY arrives and
// waits for a line on stdin before answering it, so that a driver can sample
// the client's CPU time at that moment.
//
// Over UDP the datagrams leave in batches (sendmmsg, up to 64 at a time);
// a datagram the client's socket has no room for is lost, which the client
// must count. The RTSP connection is shut down 0.3 s after the last one.
//
// After each client, one line on stdout:
//   client I packets=N frames=F bytes=B play_ns=T first_ns=T end_ns=T ok=0|1
// with CLOCK_MONOTONIC times: PLAY received, first frame written, last frame
// written; ok=1 when every requested packet was written.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_out_mutex;
std::mutex g_in_mutex;

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
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
  std::fprintf(stderr, "bench_server: %s\n", what.c_str());
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

std::string headerValue(const std::string& line, const std::string& key) {
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
  rec.sprop = headerValue(header, "sprop-parameter-sets");
  rec.profileLevelId = headerValue(header, "profile-level-id");
  rec.tsStep =
      static_cast<uint32_t>(std::strtoul(headerValue(header, "ts-step").c_str(), nullptr, 10));
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
};

bool sendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads one request (header block and any body) from the socket.
bool readRequest(int fd, std::string& pending, std::string& request) {
  for (;;) {
    const size_t end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      size_t total = end + 4;
      std::string lower = pending.substr(0, end);
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const size_t cl = lower.find("content-length:");
      if (cl != std::string::npos) total += std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
      if (pending.size() >= total) {
        request = pending.substr(0, total);
        pending.erase(0, total);
        return true;
      }
    }
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    pending.append(buf, static_cast<size_t>(n));
  }
}

std::string headerOf(const std::string& request, const std::string& name) {
  std::istringstream lines(request);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
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

class Client {
 public:
  Client(int fd, int index, int port, const Options& opt, const Recording& rec)
      : fd_(fd), index_(index), port_(port), opt_(opt), rec_(rec) {}

  void run() {
    int64_t playNs = 0;
    if (handshake(playNs)) stream(playNs);
    if (udp_ >= 0) ::close(udp_);
    ::close(fd_);
  }

 private:
  bool reply(const std::string& cseq, const std::string& status, const std::string& headers,
             const std::string& body = {}) {
    std::string text = "RTSP/1.0 " + status + "\r\nCSeq: " + cseq + "\r\n" + headers;
    if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body;
    return sendAll(fd_, text.data(), text.size());
  }

  std::string sdp() const {
    return "v=0\r\n"
           "o=- 1 1 IN IP4 127.0.0.1\r\n"
           "s=bench\r\n"
           "c=IN IP4 127.0.0.1\r\n"
           "t=0 0\r\n"
           "m=video 0 RTP/AVP 96\r\n"
           "a=rtpmap:96 H264/90000\r\n"
           "a=fmtp:96 packetization-mode=1;profile-level-id=" +
           rec_.profileLevelId + ";sprop-parameter-sets=" + rec_.sprop +
           "\r\n"
           "a=control:trackID=0\r\n";
  }

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
        if (transport.find("TCP") != std::string::npos) {
          sent =
              reply(cseq, "200 OK", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" + session);
        } else if (ports != std::string::npos &&
                   openUdp(std::atoi(transport.c_str() + ports + 12))) {
          const std::string clientPorts =
              transport.substr(ports + 12, transport.find(';', ports) - ports - 12);
          sent = reply(cseq, "200 OK",
                       "Transport: RTP/AVP;unicast;client_port=" + clientPorts +
                           ";server_port=" + std::to_string(udpPort_) + "-" +
                           std::to_string(udpPort_ + 1) + "\r\n" + session);
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

  // A UDP socket on 127.0.0.1, connected to the client's RTP port.
  bool openUdp(int clientRtpPort) {
    if (clientRtpPort <= 0 || clientRtpPort > 65535) return false;
    if (udp_ >= 0) ::close(udp_);
    udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (udp_ < 0 || ::bind(udp_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(udp_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return false;
    }
    udpPort_ = ntohs(addr.sin_port);
    addr.sin_port = htons(static_cast<uint16_t>(clientRtpPort));
    return ::connect(udp_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  // Sends the interleaved frames in scratch[0, size) as datagrams without
  // their 4-byte headers. False when the socket fails (not when the client
  // drops a datagram: that is the client's loss).
  bool sendUdp(const char* data, size_t size) {
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
        const int n = ::sendmmsg(udp_, messages + done, count - done, 0);
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
    for (uint64_t pass = 0; ok && sent < opt_.packets; ++pass) {
      size_t i = 0;
      while (ok && i < n && sent < opt_.packets) {
        // One chunk: whole frames, up to kChunk bytes when unpaced, up to the
        // end of the video frame when paced.
        const size_t first = i;
        const size_t from = rec_.offsets[i];
        while (i < n && sent < opt_.packets) {
          const size_t at = rec_.offsets[i] - from;
          if (scratch.size() < at + frameEnd(i) - rec_.offsets[i]) {
            scratch.resize(at + frameEnd(i) - rec_.offsets[i]);
          }
          std::memcpy(scratch.data() + at, rec_.frames.data() + rec_.offsets[i],
                      frameEnd(i) - rec_.offsets[i]);
          stamp(scratch.data() + at, i, pass);
          frames += rec_.marker[i] ? 1 : 0;
          ++sent;
          ++i;
          if (opt_.bitrate > 0 ? rec_.marker[i - 1] : frameEnd(i - 1) - from >= kChunk) break;
        }
        const size_t to = frameEnd(i - 1);
        if (opt_.bitrate > 0) {
          sleepUntilNs(startNs +
                       static_cast<int64_t>(static_cast<double>(bytes) * 8e9 / opt_.bitrate));
        }
        if (firstNs == 0) firstNs = nowNs();
        ok = !clientGone && (udp_ >= 0 ? sendUdp(scratch.data(), to - from)
                                       : sendAll(fd_, scratch.data(), to - from));
        if (!ok) sent -= i - first;
        bytes += to - from;
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
  int index_;
  int port_;
  const Options& opt_;
  const Recording& rec_;
};

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
    } else {
      die("unknown argument " + arg);
    }
  }
  if (opt.streamPath.empty()) die("--stream FILE is required");
  if (opt.clients < 1) die("--clients must be at least 1");
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parseOptions(argc, argv);
  const Recording rec = loadRecording(opt.streamPath);

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) die("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 64) != 0) {
    die("cannot listen on 127.0.0.1");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);
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
    threads.emplace_back([fd, i, port, &opt, &rec] { Client(fd, i, port, opt, rec).run(); });
  }
  ::close(listener);
  for (std::thread& t : threads) t.join();
  return 0;
}
