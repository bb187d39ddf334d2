// The handshake: connect, OPTIONS, DESCRIBE with its SDP body, SETUP of the
// video track, PLAY; then the stream file header and the receive thread.
// With options: credentials on a 401, redirects, bounded replies, and the
// values that keep-alives need.
#include <rtsppull/rtsp_download.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "session/auth.h"
#include "session/rtsp_text.h"
#include "session/session_internal.h"

namespace {

bool isRedirect(int code) {
  return code == 301 || code == 302 || code == 303 || code == 305 || code == 307;
}

// The cause of a refusal that is neither a 401 nor a redirect followed.
RTSP_CAUSE refusalCause(int code) {
  if (code < 100 || code > 599) return RTSP_CAUSE_MALFORMED_REPLY;
  if (code == 404) return RTSP_CAUSE_NOT_FOUND;
  if (code == 461) return RTSP_CAUSE_TRANSPORT_REFUSED;
  return isRedirect(code) ? RTSP_CAUSE_REDIRECT : RTSP_CAUSE_SERVER_ERROR;
}

// `request` with the number of its "CSeq: " line replaced by `cseq`.
std::string renumbered(const std::string& request, unsigned int cseq) {
  const std::string tag = "\r\nCSeq: ";
  const std::string::size_type at = request.find(tag);
  if (at == std::string::npos) return request;
  const std::string::size_type from = at + tag.size();
  const std::string::size_type end = request.find("\r\n", from);
  return request.substr(0, from) + std::to_string(cseq) + request.substr(end);
}

}  // namespace

void CRTSPDownload::failStep(RTSP_STEP step, RTSP_CAUSE cause, const std::string& detail) {
  recordFailure(step, cause, detail);
  throw myException(detail);
}

void CRTSPDownload::failReply(RTSP_STEP step, RTSP_CAUSE cause, const std::string& detail) {
  recordFailure(step, cause, detail, replyCode_, replyStatusLine_);
  throw myException(detail);
}

std::string CRTSPDownload::withAuthorization(const std::string& plain) {
  const std::string request = withUserAgent(plain);
  if (!auth_ || !auth_->ready()) return request;
  // The method and the request URI exactly as the request line has them;
  // the header goes just before the empty line that ends the request.
  const std::string::size_type methodEnd = request.find(' ');
  const std::string::size_type uriEnd = request.find(' ', methodEnd + 1);
  const std::string::size_type end = request.rfind(kCrLf);
  if (methodEnd == std::string::npos || uriEnd == std::string::npos || end == std::string::npos) {
    return request;
  }
  const std::string value = auth_->authorization(
      request.substr(0, methodEnd), request.substr(methodEnd + 1, uriEnd - methodEnd - 1));
  return request.substr(0, end) + "Authorization: " + value + kCrLf + kCrLf;
}

void CRTSPDownload::skipReplyBody() {
  // The body of a reply that is answered by another request (a 401): read
  // and dropped, so that the next reply starts where it should.
  const std::string value = rtsptext::headerValue(replyHead_, "Content-Length");
  const std::size_t length = value.empty() ? 0 : std::strtoul(value.c_str(), nullptr, 10);
  if (length > 65536) {
    failReply(currentStep_, RTSP_CAUSE_MALFORMED_REPLY, "a reply body over 64 KiB");
  }
  std::string none;
  const ControlReader::Status got =
      control_->body(length, none, 0, ControlReader::Wait{std::chrono::seconds(sdpTimeoutSec_)});
  if (got != ControlReader::Status::kOk) {
    failReply(currentStep_, causeOf(got), "the reply body did not arrive");
  }
}

void CRTSPDownload::exchange(RTSP_STEP step, const std::string& firstRequest) {
  currentStep_ = step;
  // Bounded replies: the whole step, however the reply drips in, within the
  // receive timeout (20 s).
  stepDeadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(recvTimeoutSec_);
  std::string request = firstRequest;
  // 401s answered for this request, and whether a stale nonce was.
  int unauthorized = 0;
  bool staleAnswered = false;
  for (;;) {
    // Each request is echoed just before it is sent, unflushed.
    const std::string wire = withAuthorization(request);
    sayRequest(wire);
    if (!sendRtspCommand(wire)) {
      const int error = errno;
      if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
        failStep(step, RTSP_CAUSE_CLOSED_BY_SERVER, "the server closed the connection");
      }
      failStep(step, RTSP_CAUSE_NETWORK, std::string("send failed: ") + std::strerror(error));
    }
    if (getReply()) return;
    if (!readProblem_.empty()) failReply(step, readCause_, readProblem_);

    if (isRedirect(replyCode_) && options_.maxRedirects > 0 && step != RTSP_STEP_PLAY) {
      const std::string location = rtsptext::headerValue(replyHead_, "Location");
      rtsptext::RtspUrl target;
      if (location.empty()) failReply(step, RTSP_CAUSE_REDIRECT, "a redirect without a Location");
      if (!rtsptext::parseRtspUrl(location, target)) {
        failReply(step, RTSP_CAUSE_REDIRECT,
                  "redirected to \"" + location + "\", which is not an rtsp:// URL");
      }
      if (redirectCount_ >= options_.maxRedirects) {
        failReply(step, RTSP_CAUSE_REDIRECT,
                  "over " + std::to_string(options_.maxRedirects) + " redirects");
      }
      ++redirectCount_;
      throw Redirect{location};
    }
    if (replyCode_ == 401 && auth_) {
      // One retry per 401; a second one for the same request only when it
      // says the nonce went stale, and once. No loop.
      std::string detail;
      if (!auth_->onChallenge(rtsptext::headerValues(replyHead_, "WWW-Authenticate"), detail)) {
        failReply(step, RTSP_CAUSE_AUTH_FAILED, detail);
      }
      if (++unauthorized > 1) {
        if (!auth_->stale() || staleAnswered) {
          failReply(step, RTSP_CAUSE_AUTH_FAILED, "authentication failed");
        }
        staleAnswered = true;
      }
      skipReplyBody();
      info_.contentLength = 0;
      request = renumbered(request, info_.cseq);
      continue;
    }
    if (replyCode_ == 401) {
      failReply(
          step, options_.user.empty() ? RTSP_CAUSE_AUTH_NEEDED : RTSP_CAUSE_AUTH_FAILED,
          options_.user.empty() ? "the server asks for credentials" : "authentication failed");
    }
    failReply(step, refusalCause(replyCode_),
              std::string("the server refused ") + RTSPStepName(step));
  }
}

void CRTSPDownload::takeDescription() {
  currentStep_ = RTSP_STEP_SDP;
  // The base of relative control URLs: Content-Base, Content-Location, or
  // the DESCRIBE URL (read from the DESCRIBE reply, before its body).
  contentBase_ = rtsptext::headerValue(replyHead_, "Content-Base");
  if (contentBase_.empty()) contentBase_ = rtsptext::headerValue(replyHead_, "Content-Location");
  if (contentBase_.empty()) contentBase_ = requestUrl();

  bool received = false;
  try {
    received = recvSDPReply();
  } catch (myException&) {
    failStep(RTSP_STEP_SDP, RTSP_CAUSE_MALFORMED_REPLY,
             "the stream header (config=) is over 8192 bytes");
  }
  if (!received) failStep(RTSP_STEP_SDP, readCause_, readProblem_);
  beginTracks();

  // PLAY, keep-alives and TEARDOWN go to the session-level control URL of
  // standard requests, otherwise to the DESCRIBE URL.
  playUrl_ = requestUrl();
  if (options_.standardRequests) {
    for (const std::string& line : sdp_.lines) {
      if (line.compare(0, 2, "m=") == 0) break;
      if (line.compare(0, 10, "a=control:") == 0) {
        playUrl_ = rtsptext::resolveUrl(contentBase_, std::string_view(line).substr(10));
        break;
      }
    }
  }
}

bool CRTSPDownload::runHandshake() {
  currentStep_ = RTSP_STEP_CONNECT;
  if (!connectRtspServer()) failStep(RTSP_STEP_CONNECT, readCause_, readProblem_);

  exchange(RTSP_STEP_OPTIONS, makeOptions());
  keepAliveMethod_ =
      rtsptext::listsMethod(rtsptext::headerValue(replyHead_, "Public"), "GET_PARAMETER")
          ? "GET_PARAMETER"
          : "OPTIONS";

  exchange(RTSP_STEP_DESCRIBE, makeDescribe());
  takeDescription();

  // No usable video description: SETUP is skipped, not failed, and PLAY
  // goes out with the next CSeq.
  std::string request;
  if (makeVideoSetup(request, COMM_TCP_INTERLEAVED)) {
    setupVideo(request);
    SDPMedia video;
    video.media = "video";
    for (const SDPMedia& media : media_) {
      if (media.media == "video") {
        video = media;
        break;
      }
    }
    addTrack(video, !udpInUse(), 0, 1);
    setupOtherTracks();
  }
  exchange(RTSP_STEP_PLAY, makePlay());
  sessionTimeoutSec_ = rtsptext::parseSessionHeader(info_.sessionId).timeoutSec;
  return true;
}

void CRTSPDownload::sendTeardownNow() {
  // Echoed, unlike the TEARDOWN of stop(); a failed send changes nothing.
  try {
    const std::string teardown = withAuthorization(makeTearDown());
    sayRequest(teardown);
    sendRtspCommand(teardown);
  } catch (...) {
  }
}

int CRTSPDownload::spawnReceiveThread(ACE_THR_FUNC entry, void* arg, ACE_hthread_t* handle) {
  // Joinable, default priority class. The stack is 256 KiB instead of the
  // platform's default (8 MiB on Linux): the thread itself touches about
  // 8 KiB (its buffers are on the heap), the rest is room for the host's
  // OnRecvData, and a thousand sessions then reserve 256 MiB of address
  // space for stacks instead of 8 GiB, with half the page tables. Only
  // touched pages are ever resident either way.
  const std::size_t kRecvThreadStackSize = 256 * 1024;
  return ACE_Thread::spawn(entry, arg, 0, nullptr, handle, 0, nullptr, kRecvThreadStackSize,
                           nullptr);
}

bool CRTSPDownload::TCPDownload(bool quietOnFailure) {
  // Every failing step records its failure and throws; the guard ends the
  // handshake the same way for a step's own failure and for anything else
  // thrown inside (an allocation failure). No receive thread exists yet, so
  // this thread may release the descriptor itself. No TEARDOWN is sent.
  const auto failed = [this, quietOnFailure]() {
    closeStream();
    closeUdp();
    tracks_.clear();
    if (!quietOnFailure) notifyFun();
    return false;
  };

  redirectCount_ = 0;
  try {
    for (;;) {
      try {
        runHandshake();
        // Over UDP with nothing arriving: the handshake runs again over TCP.
        if (udpInUse() && !udpAfterPlay()) continue;
        break;
      } catch (Redirect& redirect) {
        // Start again at OPTIONS on the new server, with a new challenge.
        closeStream();
        if (auth_) auth_.reset(new RtspAuthenticator(options_.user, options_.password));
        rtsptext::RtspUrl target;
        rtsptext::parseRtspUrl(redirect.location, target);
        info_.serverAddr = target.host;
        info_.serverPort = target.port;
        info_.streamPath = target.path;
        say("Redirected to " + requestUrl() + "\n");
      }
    }
  } catch (myException&) {
    return failed();
  } catch (...) {
    if (lastFailure().step == RTSP_STEP_NONE) {
      recordFailure(currentStep_, RTSP_CAUSE_INTERNAL, "internal error");
    }
    return failed();
  }

  prepareStreamFigures();
  // Not guarded: an exception from the host's receiver reaches the caller of
  // startRTSPDownload, with the connection open and no receive thread; stop()
  // cleans up. The header always reaches the receiver before any packet.
  if (ptrRTPReceiver_) {
    const std::string streamHeader(sdp_.file_header, sdp_.file_header_len);
    if (!ptrRTPReceiver_->Execute(streamHeader, true, &sdp_) && options_.failOnRefusedHeader) {
      sendTeardownNow();
      recordFailure(RTSP_STEP_PLAY, RTSP_CAUSE_RECEIVER_REFUSED,
                    "the receiver refused the stream header");
      return failed();
    }
  }

  if (spawnThread_(&CRTSPDownload::receiveThreadEntry, this, &thread_) == -1) {
    // As if reception had ended at once; the result stays true.
    recordFailure(RTSP_STEP_RECEIVE, RTSP_CAUSE_RESOURCES, "cannot start the receive thread");
    shutdownStream();
    notifyFun();
    return true;
  }
  threadRunning_ = true;
  return true;
}
