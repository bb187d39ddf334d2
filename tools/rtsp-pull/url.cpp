#include "url.h"

#include <cctype>

namespace rtsp_pull {

namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool isHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

}  // namespace

bool parseRtspUrl(const std::string& text, RtspUrl& url, std::string& error) {
  static const std::string kScheme = "rtsp://";
  if (!startsWithNoCase(text, kScheme)) {
    error = "the URL must start with rtsp://";
    return false;
  }
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) != 0 ||
        std::iscntrl(static_cast<unsigned char>(c)) != 0) {
      error = "the URL contains white space or control characters (percent-encode them)";
      return false;
    }
  }

  std::string rest = text.substr(kScheme.size());
  const size_t fragment = rest.find('#');
  if (fragment != std::string::npos) rest.erase(fragment);

  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);

  if (authority.find('@') != std::string::npos) {
    error = "user credentials in the URL are not supported (no RTSP authentication)";
    return false;
  }
  if (!authority.empty() && authority[0] == '[') {
    error = "IPv6 addresses are not supported; use an IPv4 address or a host name";
    return false;
  }

  std::string host = authority;
  unsigned int port = 554;
  const size_t colon = authority.find(':');
  if (colon != std::string::npos) {
    host = authority.substr(0, colon);
    const std::string digits = authority.substr(colon + 1);
    unsigned long value = 0;
    bool ok = !digits.empty() && digits.size() <= 5;
    for (char c : digits) {
      if (std::isdigit(static_cast<unsigned char>(c)) == 0) ok = false;
      if (ok) value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!ok || value == 0 || value > 65535) {
      error = "the port must be a number from 1 to 65535";
      return false;
    }
    port = static_cast<unsigned int>(value);
  }

  if (host.empty()) {
    error = "the URL has no host";
    return false;
  }
  for (char c : host) {
    if (!isHostChar(c)) {
      error = "the host may hold only letters, digits, '-', '_' and '.'";
      return false;
    }
  }

  url.host = host;
  url.port = port;
  url.path = path;
  return true;
}

}  // namespace rtsp_pull
