// The Transport header of a SETUP over UDP: the request's value and the
// parsing of the reply's. Pure functions, no sockets.
#ifndef RTSPPULL_SESSION_UDP_TRANSPORT_H_
#define RTSPPULL_SESSION_UDP_TRANSPORT_H_

#include <cstdint>
#include <string>

// What a server's Transport reply says about where the media come from.
struct TransportReply {
  bool tcp = false;  // RTP/AVP/TCP (an interleaved answer)
  bool hasServerPort = false;
  std::uint16_t serverRtpPort = 0;
  std::uint16_t serverRtcpPort = 0;  // the RTP port + 1 when the reply names one port
  std::string source;                // empty when absent
  bool hasSsrc = false;
  std::uint32_t ssrc = 0;
  // interleaved=A-B (A alone: B = A + 1), channels 0 to 255; -1 when absent
  // or malformed.
  int interleavedRtp = -1;
  int interleavedRtcp = -1;
};

// "RTP/AVP;unicast;client_port=A-B" for the even port A and B = A + 1.
std::string udpTransportRequest(std::uint16_t rtpPort);

// `request` with the value of its Transport header replaced by `transport`;
// unchanged when it has none.
std::string withTransport(const std::string& request, const std::string& transport);

// Parses the value of a Transport header (without "Transport:"), the first
// comma-separated transport when several are offered. Parameter names are
// case-insensitive and may be surrounded by spaces; unknown parameters are
// ignored. False with `detail` when the value names no RTP profile or carries
// a server_port that is not one or two port numbers from 1 to 65535. An
// ssrc that is not 1 to 8 hexadecimal digits is ignored.
bool parseTransportReply(const std::string& value, TransportReply& reply, std::string& detail);

#endif  // RTSPPULL_SESSION_UDP_TRANSPORT_H_
