// The byte stream under the control connection's reader and sends when it
// is not the bare socket: TLS over the socket, or RTSP tunnelled through
// HTTP (a GET connection to read, a POST connection to write, either over
// TLS). Without options the session reads and writes its socket directly
// and none of this is made.
#ifndef RTSPPULL_SESSION_CONTROL_CHANNEL_H_
#define RTSPPULL_SESSION_CONTROL_CHANNEL_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <rtsppull/session_options.h>

class ACE_Time_Value;
class ControlReader;

class ControlChannel {
 public:
  virtual ~ControlChannel() = default;
  // One receive without waiting, as recv(MSG_DONTWAIT) answers: bytes, 0
  // when the peer closed, -1 with errno (EAGAIN: nothing now). After -1
  // with EAGAIN nothing is held back inside the channel: waiting for the
  // socket to become readable is then right. One thread at a time.
  virtual ssize_t receive(char* data, std::size_t size) = 0;
  // Sends all of `size` bytes within `timeout` (null: no bound); false with
  // errno set when they did not all get out. Any thread; may run while
  // another thread is inside receive().
  virtual bool send(const char* data, std::size_t size, const ACE_Time_Value* timeout) = 0;
  // Shuts the sockets down both ways without releasing them: a wait on
  // them in another thread ends at once. Any thread.
  virtual void shutdown() = 0;
};

// Why setting up a channel failed: the cause for lastFailure() and a short
// English detail.
struct ChannelFailure {
  RTSP_CAUSE cause = RTSP_CAUSE_NONE;
  std::string detail;
};

// The connected socket `fd` (not owned: the caller closes it after the
// channel is gone), read and written directly. For the tunnel's halves.
std::unique_ptr<ControlChannel> plainChannel(int fd);

// Runs the TLS handshake on the connected socket `fd` (not owned) with
// `host` as the server name, until `deadline`, and checks the certificate
// as `options` say. Null with `failure` set when the handshake fails or the
// certificate is refused. `warning` gets a line for the diagnostics when
// the certificate is accepted unchecked.
std::unique_ptr<ControlChannel> startTls(int fd, const std::string& host,
                                         const RTSPSessionOptions& options,
                                         std::chrono::steady_clock::time_point deadline,
                                         ChannelFailure& failure, std::string& warning);

// The SHA-256 fingerprint given by a host (hex digits, colons anywhere,
// either case) as 32 bytes; empty when it is not one.
std::string parseFingerprint(const std::string& text);

// The tunnel.
namespace tunnel {

// A random x-sessioncookie: 22 characters of [A-Za-z0-9].
std::string makeCookie();
// The request that opens the GET (reading) connection and the one that
// opens the POST (writing) connection of the tunnel to `path` (starting
// with "/"), for `host`.
std::string getRequest(const std::string& path, const std::string& host, const std::string& cookie);
std::string postRequest(const std::string& path, const std::string& host,
                        const std::string& cookie);
std::string base64(std::string_view bytes);

// The server's answer to the GET, whose head (status line and headers
// through the empty line) is read line by line.
struct ReplyHead {
  int status = 0;     // 0: no HTTP status line (yet)
  std::string line;   // the status line without its line end
  int lines = 0;      // lines taken, the empty one included
  bool done = false;  // the empty line that ends the head was taken
};
// Takes one line of the head (its line end included or not). False when
// the head cannot be the answer of an HTTP server: a first line that is no
// HTTP status line, or over kMaxHeadLines lines.
constexpr int kMaxHeadLines = 100;
bool takeReplyLine(std::string_view line, ReplyHead& head);

// Reads the head of the server's answer to the GET from `control`, each
// wait up to `replyWait`; what follows it stays buffered. True for a 200;
// false with `failure` set for another status, a head that is no HTTP
// reply, or a read that failed.
bool readReplyHead(ControlReader& control, std::chrono::seconds replyWait, ChannelFailure& failure);

// The channel of an open tunnel: reads from `get`, writes each request
// Base64-encoded to `post`. `postFd` is the POST socket, owned: closed with
// the channel.
std::unique_ptr<ControlChannel> channel(std::unique_ptr<ControlChannel> get,
                                        std::unique_ptr<ControlChannel> post, int postFd);

}  // namespace tunnel

// After the TCP connect of the control connection `fd` (owned by the
// caller), read by `control`: TLS and the tunnel as `options` ask, ready
// for the RTSP requests. `connectTimeout` bounds the connect of the tunnel's
// second connection, `replyWait` each wait for the server (TLS handshake,
// the tunnel's HTTP reply). False with `failure` set.
bool openControlChannel(ControlReader& control, int fd, const std::string& host, unsigned int port,
                        const std::string& path, const RTSPSessionOptions& options,
                        const ACE_Time_Value& connectTimeout, std::chrono::seconds replyWait,
                        ChannelFailure& failure, std::string& warning);

#endif  // RTSPPULL_SESSION_CONTROL_CHANNEL_H_
