#include "session/rtsp_text.h"

#include <cstddef>

namespace rtsptext {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The next line of `text` from `pos` (without LF and an optional CR before
// it); pos moves past its LF, or to the end.
std::string_view nextLine(std::string_view text, std::size_t& pos) {
  const std::size_t lf = text.find('\n', pos);
  const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
  std::string_view line = text.substr(pos, end - pos);
  pos = lf == std::string_view::npos ? text.size() : lf + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A decimal number of at most 9 digits at the start of `text`; -1 without one.
int leadingNumber(std::string_view text) {
  int value = 0;
  std::size_t i = 0;
  for (; i < text.size() && i < 9 && isDigit(text[i]); ++i) value = value * 10 + (text[i] - '0');
  return i == 0 ? -1 : value;
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view text) {
  const char* const blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::string_view();
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::vector<std::string> headerValues(std::string_view head, std::string_view name) {
  std::vector<std::string> values;
  std::size_t pos = 0;
  nextLine(head, pos);  // the start line
  while (pos < head.size()) {
    const std::string_view line = nextLine(head, pos);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (equalsIgnoreCase(trim(line.substr(0, colon)), name)) {
      values.emplace_back(trim(line.substr(colon + 1)));
    }
  }
  return values;
}

std::string headerValue(std::string_view head, std::string_view name) {
  std::vector<std::string> values = headerValues(head, name);
  return values.empty() ? std::string() : values.front();
}

std::string_view startLine(std::string_view head) {
  std::size_t pos = 0;
  return nextLine(head, pos);
}

int replyStatus(std::string_view line) {
  // "RTSP/" digit "." digit SP three digits, then the end or a space.
  if (line.size() < 12 || line.substr(0, 5) != "RTSP/" || !isDigit(line[5]) || line[6] != '.' ||
      !isDigit(line[7]) || line[8] != ' ') {
    return 0;
  }
  const std::string_view code = line.substr(9, 3);
  for (const char c : code) {
    if (!isDigit(c)) return 0;
  }
  if (line.size() > 12 && line[12] != ' ') return 0;
  return leadingNumber(code);
}

std::string requestMethod(std::string_view line) {
  const std::size_t first = line.find(' ');
  if (first == 0 || first == std::string_view::npos) return std::string();
  for (std::size_t i = 0; i < first; ++i) {
    const char c = line[i];
    if (!((c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' || c == '-')) return std::string();
  }
  const std::size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos || second == first + 1) return std::string();
  const std::string_view version = line.substr(second + 1);
  if (version.size() != 8 || version.substr(0, 5) != "RTSP/") return std::string();
  return std::string(line.substr(0, first));
}

SessionHeader parseSessionHeader(std::string_view value) {
  SessionHeader result;
  std::size_t semicolon = value.find(';');
  result.id = std::string(trim(value.substr(0, semicolon)));
  while (semicolon != std::string_view::npos) {
    const std::size_t from = semicolon + 1;
    semicolon = value.find(';', from);
    const std::string_view parameter = value.substr(
        from, semicolon == std::string_view::npos ? std::string_view::npos : semicolon - from);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    if (!equalsIgnoreCase(trim(parameter.substr(0, equals)), "timeout")) continue;
    const std::string_view number = trim(parameter.substr(equals + 1));
    const int timeout = leadingNumber(number);
    if (timeout > 0) result.timeoutSec = timeout;
  }
  return result;
}

bool listsMethod(std::string_view publicValue, std::string_view method) {
  std::size_t pos = 0;
  while (pos <= publicValue.size()) {
    std::size_t comma = publicValue.find(',', pos);
    if (comma == std::string_view::npos) comma = publicValue.size();
    if (equalsIgnoreCase(trim(publicValue.substr(pos, comma - pos)), method)) return true;
    pos = comma + 1;
  }
  return false;
}

std::string escapePath(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  static const std::string_view kAllowed = "-._~!$&'()*+,;=:@/";
  std::string out;
  out.reserve(path.size());
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) ||
                       kAllowed.find(c) != std::string_view::npos;
    if (plain) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

bool hasScheme(std::string_view url) {
  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":" followed by "//"
  const std::size_t colon = url.find("://");
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = lower(url[i]);
    const bool ok =
        (c >= 'a' && c <= 'z') || (i > 0 && (isDigit(c) || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

std::string resolveUrl(std::string_view base, std::string_view reference) {
  reference = trim(reference);
  if (hasScheme(reference)) return std::string(reference);
  if (reference.empty() || reference == "*") return std::string(base);
  if (reference.front() == '/') {
    // Scheme and authority of the base: up to the first "/" after "://".
    const std::size_t authority = base.find("://");
    const std::size_t pathStart = authority == std::string_view::npos
                                      ? std::string_view::npos
                                      : base.find('/', authority + 3);
    return std::string(base.substr(0, pathStart)) + std::string(reference);
  }
  std::string url(base);
  if (url.empty() || url.back() != '/') url += '/';
  return url + std::string(reference);
}

bool parseRtspUrl(std::string_view url, RtspUrl& out) {
  url = trim(url);
  if (url.size() < 7 || !equalsIgnoreCase(url.substr(0, 7), "rtsp://")) return false;
  std::string_view rest = url.substr(7);
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  const std::string_view path =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host = authority, port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
    }
  } else {
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
  }
  if (host.empty()) return false;
  unsigned number = 554;
  if (!port.empty()) {
    if (port.size() > 5) return false;
    number = 0;
    for (const char c : port) {
      if (!isDigit(c)) return false;
      number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number == 0 || number > 65535) return false;
  }
  out.host = std::string(host);
  out.port = number;
  out.path = std::string(path);
  return true;
}

}  // namespace rtsptext
