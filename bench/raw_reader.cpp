// The floor of the benchmarks: the least a client of this design can do.
//
//   raw_reader HOST PORT PATH [--rcvbuf BYTES] [--bulk]
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
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  int rcvbuf = 32768;
  bool bulk = false;
  for (int i = 4; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rcvbuf" && i + 1 < argc) {
      rcvbuf = std::atoi(argv[++i]);
    } else if (arg == "--bulk") {
      bulk = true;
    } else {
      argc = 0;
    }
  }
  if (argc < 4) die("usage: raw_reader HOST PORT PATH [--rcvbuf BYTES] [--bulk]");
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
  if (!sendText(fd, "SETUP " + trackUrl +
                        " RTSP/1.0\r\nCSeq: 3\r\n"
                        "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n") ||
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
