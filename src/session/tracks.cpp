// The tracks a session sets up: the SETUP of the tracks besides video, which
// track each packet belongs to, and their wall-clock times from the RTCP
// sender reports.
#include <rtsppull/rtsp_download.h>

#include <string>

#include <ace/Guard_T.h>

#include "rtp/rtcp_report.h"
#include "session/rtsp_text.h"
#include "session/session_internal.h"
#include "session/udp_state.h"

IRTPTrackReceiver::~IRTPTrackReceiver() = default;

std::vector<RTSPTrack> CRTSPDownload::tracks() const { return tracks_; }

bool CRTSPDownload::wallClock(int track, std::uint32_t rtpTime, std::uint64_t* ntpTime) const {
  TrackClock clock;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(clockMutex_);
    if (track < 0 || static_cast<std::size_t>(track) >= clocks_.size()) return false;
    clock = clocks_[static_cast<std::size_t>(track)];
  }
  if (!clock.reported || clock.clockRate == 0 || ntpTime == nullptr) return false;
  SenderReport report;
  report.ntpTime = clock.ntpTime;
  report.rtpTime = clock.rtpTime;
  *ntpTime = ntpTimeOf(report, rtpTime, clock.clockRate);
  return true;
}

void CRTSPDownload::beginTracks() {
  media_ = SDPMedia::parseAll(sdp_.text, contentBase_);
  tracks_.clear();
  routes_.fill(-1);
  ACE_Guard<ACE_Thread_Mutex> guard(clockMutex_);
  clocks_.clear();
}

std::pair<int, int> CRTSPDownload::replyChannels() const {
  TransportReply reply;
  std::string detail;
  const std::string transport = rtsptext::headerValue(replyHead_, "Transport");
  if (transport.empty() || !parseTransportReply(transport, reply, detail)) return {-1, -1};
  return {reply.interleavedRtp, reply.interleavedRtcp};
}

void CRTSPDownload::addTrack(const SDPMedia& media, bool interleaved, int rtpChannel,
                             int rtcpChannel) {
  RTSPTrack track;
  track.index = static_cast<int>(tracks_.size());
  track.media = media;
  if (interleaved) {
    const std::pair<int, int> named = replyChannels();
    track.rtpChannel = named.first >= 0 ? named.first : rtpChannel;
    track.rtcpChannel = named.first >= 0 ? named.second : rtcpChannel;
    // A channel the server gave an earlier track stays with it.
    for (const int channel : {track.rtpChannel, track.rtcpChannel}) {
      short& route = routes_[static_cast<std::size_t>(channel)];
      if (route < 0) route = static_cast<short>(track.index * 2 + (channel == track.rtcpChannel));
    }
  }
  tracks_.push_back(track);
  // Without a clock rate, video runs at 90 kHz (RFC 3551); other media's
  // times cannot be told.
  TrackClock clock;
  clock.clockRate = media.clockRate > 0 ? static_cast<std::uint32_t>(media.clockRate)
                                        : (track.index == 0 ? 90000u : 0u);
  ACE_Guard<ACE_Thread_Mutex> guard(clockMutex_);
  clocks_.push_back(clock);
}

void CRTSPDownload::setupOtherTracks() {
  if (options_.tracks != RTSP_TRACKS_VIDEO_AUDIO) return;
  const SDPMedia* audio = nullptr;
  for (const SDPMedia& media : media_) {
    if (media.media == "audio") {
      audio = &media;
      break;
    }
  }
  if (audio == nullptr) return;

  const int index = static_cast<int>(tracks_.size());
  const int rtpChannel = 2 * index, rtcpChannel = 2 * index + 1;
  const std::string profile = audio->protocol.empty() ? "RTP/AVP" : audio->protocol;
  std::string request =
      "SETUP " + audio->control + " " + kRtspVersion + kCrLf +
      "CSeq: " + std::to_string(info_.cseq) + kCrLf + "Transport: " + profile +
      "/TCP;unicast;interleaved=" + std::to_string(rtpChannel) + "-" + std::to_string(rtcpChannel) +
      kCrLf + "Session: " + rtsptext::parseSessionHeader(info_.sessionId).id + kCrLf + kCrLf;
  std::unique_ptr<UdpState, UdpStateDeleter> udp;
  if (transportInUse_ == RTSP_TRANSPORT_UDP) {
    udp = openUdpTrack(index, static_cast<std::uint32_t>(audio->clockRate));
    request = withTransport(
        request, profile + ";unicast;client_port=" + std::to_string(udp->sockets.rtpPort()) + "-" +
                     std::to_string(udp->sockets.rtcpPort()));
  }
  try {
    exchange(RTSP_STEP_SETUP, request);
  } catch (myException&) {
    // Only a refusal drops the track; a broken connection, a bad reply or
    // failed credentials fail the start as for the video track.
    if (!readProblem_.empty() || replyCode_ < 300 || replyCode_ > 599 || replyCode_ == 401) throw;
    skipReplyBody();
    info_.contentLength = 0;
    recordFailure(RTSP_STEP_NONE, RTSP_CAUSE_NONE, std::string());
    say("The " + audio->media + " track was refused (" + replyStatusLine_ +
        "): going on without it\n");
    return;
  }
  if (udp && applyUdpReply(*udp)) {
    udpOthers_.push_back(std::move(udp));
    addTrack(*audio, false, -1, -1);
    return;
  }
  // Interleaved, as asked or as the server chose over UDP.
  addTrack(*audio, true, rtpChannel, rtcpChannel);
}

void CRTSPDownload::handFrameOn(ReceiveState& state, unsigned char channel, const char* data,
                                std::size_t size) {
  const short route = routes_[channel];
  if (route >= 0) {
    handTrackPacket(state, route >> 1, (route & 1) != 0, data, size);
  } else if (trackReceiver_ == nullptr) {
    // A channel of no track: to OnRecvData, as every frame before tracks.
    handToReceiver(state, data, size);
  }
}

void CRTSPDownload::handTrackPacket(ReceiveState& state, int track, bool rtcp, const char* data,
                                    std::size_t size) {
  SenderReport report;
  if (rtcp && findSenderReport(reinterpret_cast<const std::uint8_t*>(data), size, report)) {
    ACE_Guard<ACE_Thread_Mutex> guard(clockMutex_);
    TrackClock& clock = clocks_[static_cast<std::size_t>(track)];
    clock.reported = true;
    clock.ntpTime = report.ntpTime;
    clock.rtpTime = report.rtpTime;
  }
  if (trackReceiver_ == nullptr) {
    if (track == 0) handToReceiver(state, data, size);
    return;
  }
  bool taken = false;
  try {
    taken = trackReceiver_->OnTrackData(track, data, static_cast<unsigned int>(size), rtcp);
  } catch (...) {
    failReceive(RTSP_CAUSE_RECEIVER_REFUSED, "the receiver threw an exception");
  }
  if (!taken) failReceive(RTSP_CAUSE_RECEIVER_REFUSED, "the receiver refused a packet");
}
