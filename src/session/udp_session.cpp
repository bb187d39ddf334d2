// The UDP transport on the host thread: the SETUP that asks for it, the
// fallback to interleaved TCP, the first packets after PLAY, and the close.
#include <rtsppull/rtsp_download.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include <ace/Guard_T.h>

#include "session/auth.h"
#include "session/camera_state.h"
#include "session/rtsp_text.h"
#include "session/session_internal.h"
#include "session/udp_state.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a session that may fall back waits for the first RTP packet.
const std::chrono::seconds kFirstPacketWait(3);

std::chrono::microseconds sinceEpoch(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
}

void sendDatagram(int fd, const sockaddr_in& to, std::uint16_t port, const std::string& data) {
  if (fd < 0 || port == 0) return;
  sockaddr_in target = to;
  target.sin_port = htons(port);
  // Nothing to do about a failure: RTCP is best effort.
  ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
           sizeof target);
}

std::string transportName(RTSP_TRANSPORT transport) {
  return transport == RTSP_TRANSPORT_TCP ? "TCP (interleaved)" : "UDP";
}

}  // namespace

void CRTSPDownload::UdpStateDeleter::operator()(UdpState* state) const { delete state; }

void CRTSPDownload::UdpState::sendReport(std::chrono::microseconds now) {
  sendDatagram(sockets.rtcpFd(), sender, reply.serverRtcpPort,
               stats.buildReport(ownSsrc, cname, now));
}

void CRTSPDownload::UdpState::sendEmptyRtp() {
  std::string packet(12, '\0');
  packet[0] = static_cast<char>(0x80);
  for (int i = 0; i < 4; ++i) packet[8 + i] = static_cast<char>(ownSsrc >> (24 - 8 * i) & 0xFF);
  sendDatagram(sockets.rtpFd(), sender, reply.serverRtpPort, packet);
}

void CRTSPDownload::closeUdp() {
  udp_.reset();
  udpOthers_.clear();
}

void CRTSPDownload::useTransport(RTSP_TRANSPORT transport) {
  transportInUse_ = transport;
  ACE_Guard<ACE_Thread_Mutex> guard(failureMutex_);
  if (lastFailure_.step == RTSP_STEP_NONE) lastFailure_.transport = transport;
}

std::unique_ptr<CRTSPDownload::UdpState, CRTSPDownload::UdpStateDeleter>
CRTSPDownload::openUdpTrack(int track, std::uint32_t clockRate) {
  // Both ports are bound before the SETUP names them and kept until stop().
  std::unique_ptr<UdpState, UdpStateDeleter> udp(new UdpState(track, clockRate));
  const ACE_INET_Addr local = [this]() {
    ACE_INET_Addr addr;
    rtspStream_.get_local_addr(addr);
    return addr;
  }();
  const std::string localAddress = local.get_host_addr() != nullptr ? local.get_host_addr() : "";
  std::string detail;
  if (!udp->sockets.open(localAddress, udpPortBase(), detail)) {
    failStep(RTSP_STEP_SETUP, RTSP_CAUSE_RESOURCES, detail);
  }
  camera_->lastRtpPort = udp->sockets.rtpPort();
  // Linux reports twice the size it was given (it counts its bookkeeping),
  // capped by net.core.rmem_max for an unprivileged process.
  say("UDP ports " + std::to_string(udp->sockets.rtpPort()) + "-" +
      std::to_string(udp->sockets.rtcpPort()) + ", receive buffer: asked " +
      std::to_string(UdpMediaPair::kReceiveBuffer) + " bytes, the kernel reports " +
      std::to_string(udp->sockets.grantedReceiveBuffer()) + "\n");
  udp->cname = "rtsppull@" + localAddress;
  return udp;
}

bool CRTSPDownload::applyUdpReply(UdpState& udp) {
  std::string detail;
  const std::string transport = rtsptext::headerValue(replyHead_, "Transport");
  if (!transport.empty() && !parseTransportReply(transport, udp.reply, detail)) {
    failStep(RTSP_STEP_SETUP, RTSP_CAUSE_TRANSPORT_REFUSED, detail);
  }
  if (udp.reply.tcp) return false;

  // Media are taken from the sender alone: the source the reply names, else
  // the RTSP server; from its named ports when it names them.
  ACE_INET_Addr peer;
  rtspStream_.get_remote_addr(peer);
  in_addr_t senderAddress = htonl(peer.get_ip_address());
  if (!udp.reply.source.empty()) parseIpv4(udp.reply.source, senderAddress);
  udp.sender.sin_family = AF_INET;
  udp.sender.sin_addr.s_addr = senderAddress;
  std::vector<std::uint16_t> ports;
  // Tolerant media: any port of the source or of the RTSP server (cameras
  // send from other ports than they announce, or announce none).
  if (udp.reply.hasServerPort && !options_.tolerantMedia) {
    ports = {udp.reply.serverRtpPort, udp.reply.serverRtcpPort};
  }
  udp.filter = UdpSourceFilter(senderAddress, ports);
  if (options_.tolerantMedia) udp.filter.alsoFrom(htonl(peer.get_ip_address()));
  if (udp.reply.hasSsrc) udp.stats.setSourceSsrc(udp.reply.ssrc);
  std::random_device random;
  udp.ownSsrc = static_cast<std::uint32_t>(random());
  return true;
}

void CRTSPDownload::setupVideo(const std::string& interleavedSetup) {
  if (transportInUse_ != RTSP_TRANSPORT_UDP) {
    exchange(RTSP_STEP_SETUP, interleavedSetup);
    // Only a session that asked for UDP says which transport it got.
    if (options_.transport != RTSP_TRANSPORT_TCP) say("Transport: TCP (interleaved)\n");
    return;
  }

  std::uint32_t clockRate = 0;
  for (const SDPMedia& media : media_) {
    if (media.media != "video") continue;
    clockRate = static_cast<std::uint32_t>(media.clockRate);
    break;
  }
  std::unique_ptr<UdpState, UdpStateDeleter> udp = openUdpTrack(0, clockRate);
  try {
    exchange(RTSP_STEP_SETUP,
             withTransport(interleavedSetup, udpTransportRequest(udp->sockets.rtpPort())));
  } catch (myException&) {
    if (replyCode_ != 461 || options_.transport != RTSP_TRANSPORT_UDP_THEN_TCP) throw;
    // UDP refused: the same SETUP again, interleaved, on the same connection.
    useTransport(RTSP_TRANSPORT_TCP);
    recordFailure(RTSP_STEP_NONE, RTSP_CAUSE_NONE, std::string());
    say("UDP refused (" + replyStatusLine_ + "): SETUP again over TCP\n");
    std::string request;
    makeVideoSetup(request, COMM_TCP_INTERLEAVED);
    setupVideo(request);
    return;
  }

  if (!applyUdpReply(*udp)) {
    // The server chose interleaved delivery itself: read it from the connection.
    useTransport(RTSP_TRANSPORT_TCP);
    say("Transport: TCP (interleaved), as the server chose\n");
    return;
  }
  udp_ = std::move(udp);
}

void CRTSPDownload::failUdpWait(int error) {
  failStep(RTSP_STEP_PLAY, RTSP_CAUSE_NETWORK,
           std::string("waiting for the first UDP packet failed: ") + std::strerror(error));
}

bool CRTSPDownload::udpAfterPlay() {
  say("Transport: " + transportName(transportInUse_) + "\n");
  // Through a NAT on the way, the server's packets come back only after
  // something went out from each port.
  udp_->sendEmptyRtp();
  udp_->sendReport(sinceEpoch(Clock::now()));
  for (const auto& other : udpOthers_) {
    other->sendEmptyRtp();
    other->sendReport(sinceEpoch(Clock::now()));
  }
  if (options_.transport != RTSP_TRANSPORT_UDP_THEN_TCP) return true;

  // A packet from the sender is left in the socket for the receive thread;
  // one from anyone else is taken out and the wait goes on.
  const Clock::time_point deadline = Clock::now() + kFirstPacketWait;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd wanted{udp_->sockets.rtpFd(), POLLIN, 0};
    const int ready = poll_(&wanted, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    // A failing wait or socket would return at once, again and again.
    if (ready < 0) failUdpWait(errno);
    if (ready == 0) continue;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char byte = 0;
    if (::recvfrom(udp_->sockets.rtpFd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&from), &length) < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
        continue;
      }
      failUdpWait(errno);
    }
    if (udp_->filter.accepts(from)) return true;
    ::recv(udp_->sockets.rtpFd(), &byte, 1, MSG_DONTWAIT);
  }

  // Silence: end this session and start again over TCP.
  say("No RTP over UDP within 3 s of PLAY: reconnecting over TCP\n");
  sendTeardownNow();
  closeStream();
  closeUdp();
  useTransport(RTSP_TRANSPORT_TCP);
  // A new connection gets a new challenge.
  if (auth_) auth_.reset(new RtspAuthenticator(options_.user, options_.password));
  return false;
}
