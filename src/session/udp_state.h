// What a session keeps for each track it receives over UDP: the socket pair, where
// the media come from, the receiver statistics for RTCP, and the reception
// buffers. Made on the host thread at the SETUP, used by the receive thread
// while it runs, released by the host thread after the join.
#ifndef RTSPPULL_SESSION_UDP_STATE_H_
#define RTSPPULL_SESSION_UDP_STATE_H_

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

#include <rtsppull/rtsp_download.h>

#include "rtp/rtcp_report.h"
#include "session/udp_media.h"
#include "session/udp_transport.h"

struct CRTSPDownload::UdpState {
  UdpState(int trackIndex, std::uint32_t clockRate) : track(trackIndex), stats(clockRate) {}

  int track;  // RTSPTrack::index

  UdpMediaPair sockets;
  TransportReply reply;
  // The sender of the media (the Transport reply's source, else the RTSP
  // server), and its RTP and RTCP ports (0 when the reply named none).
  sockaddr_in sender{};
  UdpSourceFilter filter;
  RtcpReceiverStats stats;
  std::uint32_t ownSsrc = 0;
  std::string cname;
  UdpBatchReceiver batch;
  std::uint64_t ignored = 0;  // datagrams from other senders

  // Sends the receiver report to the sender's RTCP port, when known.
  // Either thread, one at a time (the host thread before the receive thread
  // starts, the receive thread afterwards).
  void sendReport(std::chrono::microseconds now);
  // An empty RTP packet to the sender's RTP port, when known.
  void sendEmptyRtp();
};

#endif  // RTSPPULL_SESSION_UDP_STATE_H_
