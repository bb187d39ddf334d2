// The Transport header of a SETUP over UDP: the request's value and the
// parsing of the reply's. Pure functions, no sockets.
#ifndef RTSPPULL_SESSION_UDP_TRANSPORT_H_
#define RTSPPULL_SESSION_UDP_TRANSPORT_H_

#include <cstdint>
#include <list>
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
};

// "RTP/AVP;unicast;client_port=A-B" for the even port A and B = A + 1.
std::string udpTransportRequest(std::uint16_t rtpPort);

// `request` with the value of its Transport header replaced by `transport`;
// unchanged when it has none.
std::string withTransport(const std::string& request, const std::string& transport);

// The RTP clock rate of the first video section of a session description
// (its a=rtpmap line, "a=rtpmap:96 H264/90000"); 90000 when none is given.
std::uint32_t videoClockRate(const std::list<std::string>& sdpLines);

// Parses the value of a Transport header (without "Transport:"), the first
// comma-separated transport when several are offered. Parameter names are
// case-insensitive and may be surrounded by spaces; unknown parameters are
// ignored. False with `detail` when the value names no RTP profile or carries
// a server_port that is not one or two port numbers from 1 to 65535. An
// ssrc that is not 1 to 8 hexadecimal digits is ignored.
bool parseTransportReply(const std::string& value, TransportReply& reply, std::string& detail);

#endif  // RTSPPULL_SESSION_UDP_TRANSPORT_H_
