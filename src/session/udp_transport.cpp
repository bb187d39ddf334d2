#include "session/udp_transport.h"

#include <cctype>
#include <vector>

namespace {

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
  return text.substr(begin, end - begin);
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

// A decimal port from 1 to 65535, digits only.
bool parsePort(const std::string& text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// An interleaved channel: 0 to 255, digits only.
bool parseChannel(const std::string& text, int& channel) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    value = value * 10 + (c - '0');
  }
  channel = value;
  return value <= 255;
}

bool parseSsrc(const std::string& text, std::uint32_t& ssrc) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
    const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  ssrc = value;
  return true;
}

}  // namespace

std::string udpTransportRequest(std::uint16_t rtpPort) {
  return "RTP/AVP;unicast;client_port=" + std::to_string(rtpPort) + "-" +
         std::to_string(rtpPort + 1u);
}

std::string withTransport(const std::string& request, const std::string& transport) {
  const std::string tag = "\r\nTransport: ";
  const std::size_t at = request.find(tag);
  if (at == std::string::npos) return request;
  const std::size_t from = at + tag.size();
  const std::size_t end = request.find("\r\n", from);
  if (end == std::string::npos) return request;
  return request.substr(0, from) + transport + request.substr(end);
}

bool parseTransportReply(const std::string& value, TransportReply& reply, std::string& detail) {
  reply = TransportReply();
  const std::vector<std::string> parameters = split(split(value, ',').front(), ';');
  const std::string profile = lowered(trimmed(parameters.front()));
  if (profile.compare(0, 7, "rtp/avp") != 0) {
    detail = "the SETUP reply names no RTP transport";
    return false;
  }
  reply.tcp = profile == "rtp/avp/tcp" || profile == "rtp/avpf/tcp";
  for (std::size_t i = 1; i < parameters.size(); ++i) {
    const std::string& parameter = parameters[i];
    const std::size_t equals = parameter.find('=');
    const std::string name = lowered(trimmed(parameter.substr(0, equals)));
    const std::string argument =
        equals == std::string::npos ? std::string() : trimmed(parameter.substr(equals + 1));
    if (name == "server_port") {
      const std::vector<std::string> ports = split(argument, '-');
      if (ports.size() > 2 || !parsePort(trimmed(ports[0]), reply.serverRtpPort) ||
          (ports.size() == 2 && !parsePort(trimmed(ports[1]), reply.serverRtcpPort))) {
        detail = "the SETUP reply has a malformed server_port: " + argument.substr(0, 40);
        return false;
      }
      if (ports.size() == 1) {
        reply.serverRtcpPort = static_cast<std::uint16_t>(reply.serverRtpPort + 1u);
      }
      reply.hasServerPort = true;
    } else if (name == "source") {
      reply.source = argument;
    } else if (name == "ssrc") {
      reply.hasSsrc = parseSsrc(argument, reply.ssrc);
    } else if (name == "interleaved") {
      const std::vector<std::string> channels = split(argument, '-');
      int rtp = -1, rtcp = -1;
      const bool rtpRead = channels.size() <= 2 && parseChannel(trimmed(channels[0]), rtp);
      if (rtpRead && channels.size() == 1) rtcp = rtp + 1;
      if (rtpRead && channels.size() == 2) parseChannel(trimmed(channels[1]), rtcp);
      if (rtcp >= 0 && rtcp <= 255) {
        reply.interleavedRtp = rtp;
        reply.interleavedRtcp = rtcp;
      }
    }
  }
  return true;
}
