// Camera tolerance (the options userAgentOnAllRequests, tolerantSession and
// tolerantMedia) and the counting of the stream's packets behind stats().
#include <rtsppull/rtsp_download.h>

#include <string>
#include <string_view>

#include "session/camera_state.h"
#include "session/rtsp_text.h"
#include "session/session_internal.h"
#include "session/udp_state.h"

namespace {

const std::string kUserAgent = "User-Agent: (ORVE Streaming Media )";
// Local UDP ports are searched below this (as UdpMediaPair does).
const unsigned int kPortLimit = 60000;

}  // namespace

void CRTSPDownload::CameraStateDeleter::operator()(CameraState* state) const { delete state; }

std::string CRTSPDownload::withUserAgent(const std::string& request) const {
  if (!options_.userAgentOnAllRequests || request.find("\r\nUser-Agent:") != std::string::npos) {
    return request;
  }
  // Just before the empty line that ends the request.
  const std::string::size_type end = request.rfind(kCrLf);
  if (end == std::string::npos) return request;
  return request.substr(0, end) + kUserAgent + kCrLf + kCrLf;
}

bool CRTSPDownload::takeEarlyFrames() {
  CameraState& camera = *camera_;
  const ControlReader::Wait wait = replyWait(recvTimeoutSec_);
  for (;;) {
    std::string bytes;
    if (control_->buffer().buffered() == 0) {
      // Waits like the reply line would; a closed connection is left for
      // the line to report.
      const ControlReader::Status got = control_->some(0, bytes, wait);
      if (got != ControlReader::Status::kOk) {
        noteReadProblem(
            got, "timed out after " + std::to_string(recvTimeoutSec_) + " s waiting for a reply");
        return false;
      }
    }
    const std::string_view pending = control_->buffer().pending();
    if (pending.empty() || pending[0] != '$') return true;
    // A frame cut short is left for the reply line to report.
    if (control_->body(4, bytes, 4, wait) != ControlReader::Status::kOk) return true;
    const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(bytes[2])) << 8 |
                               static_cast<unsigned char>(bytes[3]);
    std::string payload;
    if (control_->body(length, payload, length, wait) != ControlReader::Status::kOk) return true;
    if (camera.earlyBytes + length > CameraState::kMaxEarlyBytes) continue;
    camera.earlyBytes += length;
    camera.earlyFrames.emplace_back(static_cast<unsigned char>(bytes[1]), std::move(payload));
  }
}

void CRTSPDownload::afterReply() {
  CameraState& camera = *camera_;
  // Every handshake on a connection begins with OPTIONS.
  if (currentStep_ == RTSP_STEP_OPTIONS) {
    camera.rtpChannel = 0;
    camera.rtcpChannel = 1;
    camera.sessionSettled = false;
    camera.earlyFrames.clear();
    camera.earlyBytes = 0;
  }
  const bool setupOrPlay = currentStep_ == RTSP_STEP_SETUP || currentStep_ == RTSP_STEP_PLAY;
  // The video track is set up first; the SETUPs of other tracks name theirs.
  if (replyCode_ == 200 && currentStep_ == RTSP_STEP_SETUP && tracks_.empty()) {
    interleavedChannels(rtsptext::headerValue(replyHead_, "Transport"), camera.rtpChannel,
                        camera.rtcpChannel);
  }
  if (!options_.tolerantSession) return;
  if (currentStep_ == RTSP_STEP_OPTIONS) info_.sessionId.clear();
  if (camera.sessionSettled) {
    info_.sessionId = camera.session;  // whatever this reply said
    return;
  }
  // The reply's lines set info_.sessionId only in one spelling; any is taken here.
  const std::string value = rtsptext::headerValue(replyHead_, "Session");
  if (!value.empty()) info_.sessionId = value;
  camera.sessionSettled = setupOrPlay && replyCode_ == 200 && !info_.sessionId.empty();
  camera.session = info_.sessionId;
}

void CRTSPDownload::prepareStreamFigures() {
  const VideoFormats formats = videoFormats(sdp_.lines);
  StreamStats::Judgement judgement;
  if (options_.tolerantMedia) {
    judgement.payloadTypes = formats.payloadTypes;
    judgement.dropMalformed = true;
    if (udpInUse()) {
      judgement.lockSource = true;
      judgement.hasAnnouncedSsrc = udp_->reply.hasSsrc;
      judgement.announcedSsrc = udp_->reply.ssrc;
    }
  }
  camera_->stats.configure(judgement, formats.clockRate);
}

bool CRTSPDownload::admitFrame(unsigned char channel, const char* data, std::size_t size,
                               std::chrono::steady_clock::time_point arrival) {
  CameraState& camera = *camera_;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  if (channel == camera.rtpChannel) return camera.stats.onRtp(bytes, size, arrival);
  if (channel == camera.rtcpChannel) {
    camera.stats.onRtcp(bytes, size);
    return true;
  }
  // The channels of the other tracks are theirs to judge.
  if (!options_.tolerantMedia || routes_[channel] >= 0) return true;
  camera.stats.onWrongSource(1);
  return false;
}

void CRTSPDownload::replayEarlyFrames(ReceiveState& state) {
  CameraState& camera = *camera_;
  for (const auto& frame : camera.earlyFrames) {
    if (ptrRTPReceiver_ && admitFrame(frame.first, frame.second.data(), frame.second.size(),
                                      std::chrono::steady_clock::now())) {
      handFrameOn(state, frame.first, frame.second.data(), frame.second.size());
    }
  }
  camera.earlyFrames.clear();
  camera.earlyBytes = 0;
}

void CRTSPDownload::beforeKeepAlive() {
  CameraState& camera = *camera_;
  // A GET_PARAMETER that had no reply by the time the next is due.
  if (options_.tolerantSession && !camera.keepAliveAnswered &&
      keepAliveMethod_ == "GET_PARAMETER") {
    keepAliveMethod_ = "OPTIONS";
    say("GET_PARAMETER not answered: keep-alives go as OPTIONS\n");
  }
  camera.keepAliveAnswered = false;
  camera.stats.onKeepAliveSent();
}

void CRTSPDownload::onReplyDuringReception(const std::string& head) {
  CameraState& camera = *camera_;
  const int status = rtsptext::replyStatus(rtsptext::startLine(head));
  if (status == 0) return;  // a request of the server
  camera.keepAliveAnswered = true;
  if (status >= 200 && status < 300) return;
  camera.stats.onKeepAliveRefused();
  if (options_.tolerantSession && keepAliveMethod_ == "GET_PARAMETER") {
    keepAliveMethod_ = "OPTIONS";
    say("GET_PARAMETER refused: keep-alives go as OPTIONS\n");
  }
}

unsigned int CRTSPDownload::udpPortBase() const {
  // Another pair than the last start's: a server that ignored its TEARDOWN
  // may still be sending there.
  const unsigned int last = camera_->lastRtpPort;
  if (!options_.tolerantMedia || last == 0 || last + 3 >= kPortLimit) return localPortBase_;
  return last + 2;
}
