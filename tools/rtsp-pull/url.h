// Splitting an rtsp:// URL into the parts CRTSPDownload::initInfo takes.
#ifndef RTSP_PULL_URL_H_
#define RTSP_PULL_URL_H_

#include <string>

namespace rtsp_pull {

struct RtspUrl {
  std::string host;  // host name or dotted IPv4 address
  unsigned int port = 554;
  std::string path;  // without the leading "/"; may be empty
};

// Accepts rtsp://host[:port][/path] with the scheme in any case. The path is
// kept as written (query included, a "#fragment" cut off), since it goes into
// the request line unchanged. Refused, with a one-line reason in `error`:
// another scheme, user credentials (no authentication is supported), IPv6
// literals, an empty host, a port outside 1..65535, and white space or control
// characters anywhere (they would break the request line).
bool parseRtspUrl(const std::string& text, RtspUrl& url, std::string& error);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_URL_H_
