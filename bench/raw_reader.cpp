// The floor of the benchmarks: the least a client of this design can do.
//
//   raw_reader HOST PORT PATH [--rcvbuf BYTES] [--bulk | --udp]
//
// Sets the socket's receive buffer to 32768 bytes, as the library does for
// its control connection, unless --rcvbuf says otherwise (0: the kernel's
// default, which grows by itself). Sends OPTIONS, DESCRIBE, SETUP
// (interleaved TCP, channels 0-1) and PLAY, reading each reply, then reads
// interleaved frames with exactly two blocking recv calls per frame (the
// 4-byte header, then the payload, both MSG_WAITALL) and counts them, until
// the server closes the connection or SIGINT/SIGTERM arrives (for servers
// that never close). Prints "packets=N bytes=B" on stdout; exit status 0
// when the stream ended on a frame boundary or was stopped by a signal, 1
// otherwise.
//
// --bulk makes it the second floor, the bulk reader: after PLAY it takes
// whatever the socket holds with one recv of up to 256 KiB at a time and
// does nothing with it, not even finding the frames. It prints
// "stream_bytes=B" (every byte after the PLAY reply, frame headers
// included) and exits with status 0 when the server closes.
//
// --udp makes it the UDP floor: the SETUP asks for RTP over UDP to an even
// local port pair (both sockets bound, 2 MiB receive buffer each, as the
// library asks), and after PLAY it does only what the library's receive loop
// does in the kernel: poll the RTSP connection and the RTP and RTCP sockets,
// take each readable socket's datagrams with recvmmsg in batches of
// kUdpBatch into buffers of 64 KiB each (the sender's address taken too)
// until it is empty, then leave the media sockets unwatched for
// 15 ms growing to 100 ms (--rest-ms), watching the RTSP connection alone (a rest that
// brought nothing is followed by another, up to kQuietRests; the rest is
// shortened as the library's when one drain fills much of the socket
// buffer). It counts RTP datagrams,
// looks at none of them, and ends when the server closes the connection.
// It prints "raw_reader packets=N" on stderr.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// The UDP floor's batch and rest (see the top of the file): the library's.
const unsigned int kUdpBatch = 64;
int g_udpRestMs = 100;
const int kQuietRests = 3;
const size_t kUdpDatagram = 65536;

volatile sig_atomic_t g_stop = 0;

void onStop(int) { g_stop = 1; }

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "raw_reader: %s\n", what);
  std::exit(1);
}

bool sendText(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads one reply: the header block one byte at a time (nothing past it is
// taken), then a body of Content-Length bytes. Returns false on a failure or
// a status other than 200.
bool readReply(int fd, std::string& headers, std::string& body) {
  headers.clear();
  body.clear();
  char c = 0;
  while (headers.size() < 4 || headers.compare(headers.size() - 4, 4, "\r\n\r\n") != 0) {
    if (::recv(fd, &c, 1, 0) != 1) return false;
    headers += c;
  }
  const size_t cl = headers.find("Content-Length:");
  if (cl != std::string::npos) {
    body.resize(std::strtoul(headers.c_str() + cl + 15, nullptr, 10));
    if (!body.empty() &&
        ::recv(fd, &body[0], body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size())) {
      return false;
    }
  }
  return headers.compare(0, 12, "RTSP/1.0 200") == 0;
}

std::string lineValue(const std::string& text, const std::string& tag) {
  const size_t at = text.find(tag);
  if (at == std::string::npos) return {};
  const size_t start = at + tag.size();
  std::string value = text.substr(start, text.find_first_of("\r\n", start) - start);
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  return value;
}

// A non-blocking UDP socket bound to 127.0.0.1:`port` with a 2 MiB receive
// buffer; -1 when the port is taken.
int bindUdp(int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  const int size = 2 * 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  return fd;
}

// Batched reception into fixed buffers, as the library's.
class Batch {
 public:
  Batch()
      : buffers_(new char[kUdpBatch * kUdpDatagram]),
        messages_(kUdpBatch),
        vectors_(kUdpBatch),
        sources_(kUdpBatch) {
    for (unsigned int i = 0; i < kUdpBatch; ++i) {
      vectors_[i] = {buffers_.get() + i * kUdpDatagram, kUdpDatagram};
      messages_[i].msg_hdr.msg_iov = &vectors_[i];
      messages_[i].msg_hdr.msg_iovlen = 1;
      messages_[i].msg_hdr.msg_name = &sources_[i];
    }
  }
  // Datagrams taken from `fd` until it is empty, their bytes added to
  // `bytes`; -1 on an error.
  long drain(int fd, size_t& bytes) {
    long got = 0;
    for (;;) {
      for (unsigned int i = 0; i < kUdpBatch; ++i) {
        messages_[i].msg_hdr.msg_namelen = sizeof sources_[i];
      }
      const int n = ::recvmmsg(fd, messages_.data(), kUdpBatch, MSG_DONTWAIT, nullptr);
      if (n < 0) return errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED ? got : -1;
      got += n;
      for (int i = 0; i < n; ++i) bytes += messages_[static_cast<size_t>(i)].msg_len;
      if (static_cast<unsigned int>(n) < kUdpBatch) return got;
    }
  }

 private:
  std::unique_ptr<char[]> buffers_;
  std::vector<mmsghdr> messages_;
  std::vector<iovec> vectors_;
  std::vector<sockaddr_in> sources_;
};

// After PLAY over UDP: the floor's loop (see the top of the file); the exit status.
int receiveUdp(int control, int rtp, int rtcp) {
  Batch batch;
  int granted = 0;
  socklen_t length = sizeof granted;
  ::getsockopt(rtp, SOL_SOCKET, SO_RCVBUF, &granted, &length);
  // As the library: from 15 ms, halved while one drain fills more than an
  // eighth of the buffer (1 KiB of kernel overhead counted per datagram),
  // doubled while under a sixteenth, up to the longest rest.
  const int longest = g_udpRestMs;
  int restMs = std::min(longest, 15);
  uint64_t packets = 0;
  bool rest = false;
  int quietRests = 0;
  int status = 1;
  pollfd wanted[3] = {{control, POLLIN, 0}, {rtp, POLLIN, 0}, {rtcp, POLLIN, 0}};
  while (!g_stop) {
    for (pollfd& p : wanted) p.revents = 0;
    const int ready = ::poll(wanted, rest ? 1 : 3, rest ? restMs : -1);
    if (ready < 0 && errno != EINTR) break;
    if (wanted[0].revents != 0) {
      char bytes[4096];
      if (::recv(control, bytes, sizeof bytes, MSG_DONTWAIT) == 0) {
        status = 0;
        break;
      }
    }
    // At the end of a rest both sockets are read without a poll; a rest
    // that brought nothing is followed by another, up to kQuietRests.
    const bool restEnded = rest && ready == 0;
    long got = 0;
    size_t bytes = 0;
    if (restEnded || wanted[1].revents != 0) got = batch.drain(rtp, bytes);
    if (got < 0 || ((restEnded || wanted[2].revents != 0) && batch.drain(rtcp, bytes) < 0)) {
      break;
    }
    packets += static_cast<uint64_t>(got);
    const size_t charged = bytes + 1024 * static_cast<size_t>(got);
    if (charged > static_cast<size_t>(granted) / 8) restMs = std::max(restMs / 2, 1);
    if (charged < static_cast<size_t>(granted) / 16) restMs = std::min(restMs * 2, longest);
    if (got > 0) quietRests = 0;
    rest = got > 0 || (restEnded && quietRests++ < kQuietRests);
  }
  if (g_stop) status = 0;
  std::fprintf(stderr, "raw_reader packets=%llu\n", static_cast<unsigned long long>(packets));
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int rcvbuf = 32768;
  bool bulk = false;
  bool udp = false;
  for (int i = 4; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rcvbuf" && i + 1 < argc) {
      rcvbuf = std::atoi(argv[++i]);
    } else if (arg == "--bulk") {
      bulk = true;
    } else if (arg == "--udp") {
      udp = true;
    } else if (arg == "--rest-ms" && i + 1 < argc) {
      g_udpRestMs = std::atoi(argv[++i]);
    } else {
      argc = 0;
    }
  }
  if (argc < 4) die("usage: raw_reader HOST PORT PATH [--rcvbuf BYTES] [--bulk | --udp]");
  const std::string host = argv[1];
  const std::string port = argv[2];
  const std::string url = "rtsp://" + host + ":" + port + "/" + argv[3];

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (fd >= 0 && rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (fd < 0 || ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    die("cannot connect");
  }

  std::string headers;
  std::string body;
  if (!sendText(fd, "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n") ||
      !readReply(fd, headers, body)) {
    die("OPTIONS failed");
  }
  if (!sendText(fd,
                "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n\r\n") ||
      !readReply(fd, headers, body)) {
    die("DESCRIBE failed");
  }
  // The video track's control attribute: absolute, or relative to the URL.
  const size_t video = body.find("m=video");
  std::string control =
      video == std::string::npos ? std::string() : lineValue(body.substr(video), "a=control:");
  std::string trackUrl = control.rfind("rtsp://", 0) == 0 ? control : url + "/" + control;
  int rtp = -1, rtcp = -1, udpPort = 20000;
  for (; udp && udpPort < 60000; udpPort += 2) {
    if ((rtp = bindUdp(udpPort)) < 0) continue;
    if ((rtcp = bindUdp(udpPort + 1)) >= 0) break;
    ::close(rtp);
  }
  if (udp && rtcp < 0) die("no free UDP port pair");
  const std::string transport = udp ? "RTP/AVP;unicast;client_port=" + std::to_string(udpPort) +
                                          "-" + std::to_string(udpPort + 1)
                                    : std::string("RTP/AVP/TCP;unicast;interleaved=0-1");
  if (!sendText(fd, "SETUP " + trackUrl + " RTSP/1.0\r\nCSeq: 3\r\nTransport: " + transport +
                        "\r\n\r\n") ||
      !readReply(fd, headers, body)) {
    die("SETUP failed");
  }
  std::string session = lineValue(headers, "Session:");
  session = session.substr(0, session.find(';'));
  if (!sendText(fd, "PLAY " + url + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + session +
                        "\r\nRange: npt=0.000-\r\n\r\n") ||
      !readReply(fd, headers, body)) {
    die("PLAY failed");
  }

  // Without SA_RESTART, so that a signal ends a blocked recv with EINTR.
  struct sigaction stop {};
  stop.sa_handler = onStop;
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);

  if (udp) return receiveUdp(fd, rtp, rtcp);
  if (bulk) {
    static char chunk[256 * 1024];
    uint64_t streamBytes = 0;
    int status = 0;
    for (;;) {
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got == 0 || g_stop) break;
      if (got < 0) {
        status = errno == EINTR && g_stop ? 0 : 1;
        break;
      }
      streamBytes += static_cast<uint64_t>(got);
    }
    ::close(fd);
    std::printf("stream_bytes=%llu\n", static_cast<unsigned long long>(streamBytes));
    return status;
  }

  static char payload[65536];
  unsigned char header[4];
  uint64_t packets = 0;
  uint64_t bytes = 0;
  int status = 0;
  for (;;) {
    const ssize_t got = ::recv(fd, header, 4, MSG_WAITALL);
    if (got == 0 || g_stop) break;
    if (got != 4 || (header[0] != '$' && header[0] != '%')) {
      status = 1;
      break;
    }
    const size_t len = (size_t{header[2]} << 8) | header[3];
    if (len > 0 && ::recv(fd, payload, len, MSG_WAITALL) != static_cast<ssize_t>(len)) {
      status = g_stop ? 0 : 1;
      break;
    }
    ++packets;
    bytes += len;
  }
  ::close(fd);
  std::printf("packets=%llu bytes=%llu\n", static_cast<unsigned long long>(packets),
              static_cast<unsigned long long>(bytes));
  return status;
}
