#include "url.h"

#include <cctype>
#include <utility>

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
  RtspUrl parsed;  // given to `url` only when the whole URL is good
  parsed.secure = startsWithNoCase(text, "rtsps://");
  if (!parsed.secure && !startsWithNoCase(text, "rtsp://")) {
    error = "the URL must start with rtsp:// or rtsps://";
    return false;
  }
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) != 0 ||
        std::iscntrl(static_cast<unsigned char>(c)) != 0) {
      error = "the URL contains white space or control characters (percent-encode them)";
      return false;
    }
  }

  std::string rest = text.substr(parsed.secure ? 8 : 7);
  const size_t fragment = rest.find('#');
  if (fragment != std::string::npos) rest.erase(fragment);

  const size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  parsed.path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);

  // The last '@' ends the credentials: an unescaped '@' in a password is
  // common enough to accept.
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string credentials = authority.substr(0, at);
    authority.erase(0, at + 1);
    const size_t colon = credentials.find(':');
    parsed.hasPassword = colon != std::string::npos;
    if (!percentDecode(credentials.substr(0, colon), parsed.user) ||
        (parsed.hasPassword && !percentDecode(credentials.substr(colon + 1), parsed.password))) {
      error = "a '%' in the user name or password must be followed by two hexadecimal digits";
      return false;
    }
    if (parsed.user.empty()) {
      error = "the URL has credentials without a user name";
      return false;
    }
  }
  if (!authority.empty() && authority[0] == '[') {
    error = "IPv6 addresses are not supported; use an IPv4 address or a host name";
    return false;
  }

  parsed.host = authority;
  parsed.port = parsed.secure ? 322 : 554;
  const size_t colon = authority.find(':');
  if (colon != std::string::npos) {
    parsed.host = authority.substr(0, colon);
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
    parsed.port = static_cast<unsigned int>(value);
  }

  if (parsed.host.empty()) {
    error = "the URL has no host";
    return false;
  }
  for (char c : parsed.host) {
    if (!isHostChar(c)) {
      error = "the host may hold only letters, digits, '-', '_' and '.'";
      return false;
    }
  }

  url = std::move(parsed);
  return true;
}

bool percentDecode(const std::string& text, std::string& decoded) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const int high = i + 1 < text.size() ? hex(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hex(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  decoded = out;
  return true;
}

}  // namespace rtsp_pull
