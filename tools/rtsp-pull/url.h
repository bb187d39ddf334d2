// Splitting an rtsp:// or rtsps:// URL into the parts CRTSPDownload::initInfo takes.
#ifndef RTSP_PULL_URL_H_
#define RTSP_PULL_URL_H_

#include <string>

namespace rtsp_pull {

struct RtspUrl {
  std::string host;  // host name or dotted IPv4 address
  unsigned int port = 554;
  std::string path;          // without the leading "/"; may be empty; as written
  std::string user;          // percent-decoded; empty when the URL names none
  bool hasPassword = false;  // "user:password@", even with an empty password
  std::string password;      // percent-decoded
  bool secure = false;       // rtsps://: TLS; the port defaults to 322
};

// Accepts rtsp://[user[:password]@]host[:port][/path], and the same with
// rtsps://, with the scheme in any case. The path is kept as written (query included, a "#fragment"
// cut off); user and password are percent-decoded. Refused, with a one-line reason in `error`:
// another scheme, a bad percent escape in the credentials, IPv6 literals, an empty host, a port
// outside 1..65535, and white space or control characters anywhere (they would break the request
// line).
bool parseRtspUrl(const std::string& text, RtspUrl& url, std::string& error);

// Replaces each "%XX" by its byte. False when a '%' is not followed by two
// hexadecimal digits.
bool percentDecode(const std::string& text, std::string& decoded);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_URL_H_
