// Pure text work of the RTSP session beyond the default requests and
// replies: header lookup, the Session header, control URL resolution, path
// escaping and rtsp:// URLs. No sockets, no state; any thread.
#ifndef RTSPPULL_SESSION_RTSP_TEXT_H_
#define RTSPPULL_SESSION_RTSP_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace rtsptext {

bool equalsIgnoreCase(std::string_view a, std::string_view b);
// Without spaces and tabs (and CR, LF) at both ends.
std::string_view trim(std::string_view text);

// The values (trimmed) of every header called `name` (any case) in `head`,
// in order: lines separated by LF with an optional CR before it; the first
// line (request or status line) is not a header and is skipped.
std::vector<std::string> headerValues(std::string_view head, std::string_view name);
// The first of them, or empty.
std::string headerValue(std::string_view head, std::string_view name);

// The first line of a message without its line end.
std::string_view startLine(std::string_view head);
// "RTSP/<d>.<d> <3 digits>...": the status code; 0 when the line is no status line.
int replyStatus(std::string_view line);
// "<METHOD> <URI> RTSP/<d>.<d>" with METHOD of upper-case letters, digits,
// "_" or "-": the method; empty when the line is no request line.
std::string requestMethod(std::string_view line);

// "12345678; timeout=30" (spaces and case free): id "12345678", timeout 30.
// timeoutSec is -1 when absent or not a positive number.
struct SessionHeader {
  std::string id;
  int timeoutSec = -1;
};
SessionHeader parseSessionHeader(std::string_view value);

// True when the comma-separated method list of a Public header names `method`.
bool listsMethod(std::string_view publicValue, std::string_view method);

// The path with every byte that may not stand in a URL path written as
// %XX (upper-case hex): everything but letters, digits, "-._~!$&'()*+,;=:@/".
std::string escapePath(std::string_view path);

// True when `url` starts with a scheme ("rtsp:", "rtsps:", "http:", ...).
bool hasScheme(std::string_view url);
// A control URL resolved against `base` as RTSP clients do (RFC 2326 C.1.1):
// an absolute URL stays as it is; "*" (or empty) is the base; "/path" keeps
// the base's scheme and authority; anything else is appended to the base
// after a "/" (one is not doubled).
std::string resolveUrl(std::string_view base, std::string_view reference);

// An rtsp:// URL (scheme in any case): host (IPv6 without brackets), port
// (554 when absent) and path without its leading "/". User information is
// dropped. False when it is not such a URL or the port is not 1 to 65535.
struct RtspUrl {
  std::string host;
  unsigned port = 554;
  std::string path;
};
bool parseRtspUrl(std::string_view url, RtspUrl& out);

}  // namespace rtsptext

#endif  // RTSPPULL_SESSION_RTSP_TEXT_H_
