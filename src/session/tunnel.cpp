// RTSP tunnelled through HTTP, and the set-up of the control connection's
// channel (TLS, the tunnel, or both).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <openssl/rand.h>

#include "session/control_channel.h"
#include "session/control_reader.h"

namespace tunnel {

namespace {

class TunnelChannel : public ControlChannel {
 public:
  TunnelChannel(std::unique_ptr<ControlChannel> get, std::unique_ptr<ControlChannel> post,
                int postFd)
      : get_(std::move(get)), post_(std::move(post)), postFd_(postFd) {}
  ~TunnelChannel() override {
    post_.reset();
    ::close(postFd_);
  }
  ssize_t receive(char* data, std::size_t size) override { return get_->receive(data, size); }
  bool send(const char* data, std::size_t size, const ACE_Time_Value* timeout) override {
    const std::string encoded = base64(std::string_view(data, size));
    return post_->send(encoded.data(), encoded.size(), timeout);
  }
  void shutdown() override {
    get_->shutdown();
    post_->shutdown();
  }

 private:
  std::unique_ptr<ControlChannel> get_;
  std::unique_ptr<ControlChannel> post_;
  const int postFd_;
};

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string commonHeaders(const std::string& host, const std::string& cookie) {
  return "Host: " + host + "\r\nx-sessioncookie: " + cookie +
         "\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n";
}

}  // namespace

std::string makeCookie() {
  unsigned char random[22];
  if (RAND_bytes(random, sizeof random) != 1) {
    // No entropy to be had: the cookie only has to differ between the
    // tunnels open on one server at a time.
    for (unsigned char& byte : random) byte = static_cast<unsigned char>(std::rand());
  }
  std::string cookie;
  for (const unsigned char byte : random) cookie += kAlphabet[byte % 62];
  return cookie;
}

std::string getRequest(const std::string& path, const std::string& host,
                       const std::string& cookie) {
  return "GET " + path + " HTTP/1.0\r\n" + commonHeaders(host, cookie) +
         "Accept: application/x-rtsp-tunnelled\r\n\r\n";
}

std::string postRequest(const std::string& path, const std::string& host,
                        const std::string& cookie) {
  // The length is a formality: the requests flow until the tunnel closes.
  return "POST " + path + " HTTP/1.0\r\n" + commonHeaders(host, cookie) +
         "Content-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n"
         "Expires: Sun, 9 Jan 1972 00:00:00 GMT\r\n\r\n";
}

std::string base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned value = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(value >> shift) & 63];
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (left == 2) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
    out += left == 2 ? kAlphabet[(value >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool takeReplyLine(std::string_view line, ReplyHead& head) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (++head.lines > kMaxHeadLines) return false;
  if (head.lines == 1) {
    // "HTTP/1.x NNN reason"
    const std::string_view prefix = "HTTP/";
    const std::size_t space = line.find(' ');
    if (line.substr(0, prefix.size()) != prefix || space == std::string_view::npos ||
        space == prefix.size() || line.size() < space + 4) {
      return false;
    }
    for (std::size_t i = prefix.size(); i < space; ++i) {
      if ((line[i] < '0' || line[i] > '9') && line[i] != '.') return false;
    }
    int status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
      if (line[i] < '0' || line[i] > '9') return false;
      status = status * 10 + (line[i] - '0');
    }
    if (line.size() > space + 4 && line[space + 4] != ' ') return false;
    head.status = status;
    head.line = std::string(line);
    return true;
  }
  head.done = line.empty();
  return true;
}

std::unique_ptr<ControlChannel> channel(std::unique_ptr<ControlChannel> get,
                                        std::unique_ptr<ControlChannel> post, int postFd) {
  return std::unique_ptr<ControlChannel>(
      new TunnelChannel(std::move(get), std::move(post), postFd));
}

}  // namespace tunnel

namespace {

// The cause of a tunnel the server refused with `status`.
RTSP_CAUSE refusalCause(int status) {
  if (status == 401) return RTSP_CAUSE_AUTH_NEEDED;
  if (status == 404) return RTSP_CAUSE_NOT_FOUND;
  return RTSP_CAUSE_SERVER_ERROR;
}

}  // namespace

namespace tunnel {

bool readReplyHead(ControlReader& control, std::chrono::seconds replyWait,
                   ChannelFailure& failure) {
  tunnel::ReplyHead head;
  std::string line;
  while (!head.done) {
    const ControlReadStatus got = control.line(line, 8192 + 2, ControlReadWait{replyWait});
    if (got != ControlReadStatus::kOk) {
      failure.cause = got == ControlReadStatus::kClosed     ? RTSP_CAUSE_CLOSED_BY_SERVER
                      : got == ControlReadStatus::kTooLong  ? RTSP_CAUSE_MALFORMED_REPLY
                      : got == ControlReadStatus::kTimedOut ? RTSP_CAUSE_TIMED_OUT
                                                            : RTSP_CAUSE_NETWORK;
      failure.detail = "no answer to the HTTP tunnel's GET";
      return false;
    }
    if (!tunnel::takeReplyLine(line, head)) {
      failure = {RTSP_CAUSE_MALFORMED_REPLY,
                 "the answer to the HTTP tunnel's GET is not an HTTP reply"};
      return false;
    }
  }
  if (head.status == 200) return true;
  failure = {refusalCause(head.status), "the server refused the HTTP tunnel: " + head.line};
  return false;
}

}  // namespace tunnel

bool openControlChannel(ControlReader& control, int fd, const std::string& host, unsigned int port,
                        const std::string& path, const RTSPSessionOptions& options,
                        const ACE_Time_Value& connectTimeout, std::chrono::seconds replyWait,
                        ChannelFailure& failure, std::string& warning) {
  const auto deadline = [replyWait] { return std::chrono::steady_clock::now() + replyWait; };
  std::unique_ptr<ControlChannel> get;
  if (options.tls) {
    get = startTls(fd, host, options, deadline(), failure, warning);
    if (!get) return false;
  }
  if (!options.httpTunnel) {
    control.attach(fd, std::move(get));
    return true;
  }
  control.attach(fd, get ? std::move(get) : plainChannel(fd));
  const std::string cookie = tunnel::makeCookie();
  const std::string hostPort = host + ":" + std::to_string(port);
  const std::string target = "/" + path;
  const ACE_Time_Value sendTimeout(replyWait.count(), 0);
  const std::string getHead = tunnel::getRequest(target, hostPort, cookie);
  if (!control.channel()->send(getHead.data(), getHead.size(), &sendTimeout)) {
    failure = {RTSP_CAUSE_NETWORK, std::string("send failed: ") + std::strerror(errno)};
    return false;
  }
  if (!tunnel::readReplyHead(control, replyWait, failure)) return false;

  // The second connection, to the same address; its descriptor belongs to
  // the tunnel's channel once that is made.
  ACE_INET_Addr address(static_cast<u_short>(port & 0xFFFFu), host.c_str());
  ACE_SOCK_Stream postStream;
  ACE_SOCK_Connector connector;
  if (connector.connect(postStream, address, &connectTimeout) == -1) {
    failure = {RTSP_CAUSE_NETWORK,
               std::string("the HTTP tunnel's POST connection failed: ") + std::strerror(errno)};
    postStream.close();
    return false;
  }
  const int postFd = postStream.get_handle();
  std::string ignored;
  std::unique_ptr<ControlChannel> post =
      options.tls ? startTls(postFd, host, options, deadline(), failure, ignored)
                  : plainChannel(postFd);
  const std::string postHead = tunnel::postRequest(target, hostPort, cookie);
  if (post && !post->send(postHead.data(), postHead.size(), &sendTimeout)) {
    failure = {RTSP_CAUSE_NETWORK, std::string("send failed: ") + std::strerror(errno)};
    post.reset();
  }
  if (!post) {
    postStream.close();
    return false;
  }
  control.swapChannel(tunnel::channel(control.swapChannel(nullptr), std::move(post), postFd));
  return true;
}
