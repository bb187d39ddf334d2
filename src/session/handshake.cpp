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

const char* stepName(RTSP_STEP step) {
  switch (step) {
    case RTSP_STEP_OPTIONS:
      return "OPTIONS";
    case RTSP_STEP_DESCRIBE:
      return "DESCRIBE";
    case RTSP_STEP_SETUP:
      return "SETUP";
    case RTSP_STEP_PLAY:
      return "PLAY";
    default:
      return "the request";
  }
}

bool isRedirect(int code) {
  return code == 301 || code == 302 || code == 303 || code == 305 || code == 307;
}

// Why a send failed, from errno.
std::string sendProblem() {
  const int error = errno;
  if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
    return "the server closed the connection";
  }
  return std::string("send failed: ") + std::strerror(error);
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

void CRTSPDownload::failStep(RTSP_STEP step, const std::string& detail, const char* message) {
  recordFailure(step, detail);
  throw myException(message);
}

void CRTSPDownload::failReply(RTSP_STEP step, const std::string& detail, const char* message) {
  recordFailure(step, detail, replyCode_, replyStatusLine_);
  throw myException(message);
}

std::string CRTSPDownload::withAuthorization(const std::string& request) {
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
  std::size_t left = value.empty() ? 0 : std::strtoul(value.c_str(), nullptr, 10);
  if (left > 65536) failReply(currentStep_, "a reply body over 64 KiB", "reply body too long");
  char scratch[4096];
  const ACE_Time_Value timeout(sdpTimeoutSec_, 0);
  while (left > 0) {
    const std::size_t chunk = left < sizeof scratch ? left : sizeof scratch;
    if (rtspStream_.recv_n(scratch, chunk, &timeout) != static_cast<ssize_t>(chunk)) {
      failReply(currentStep_, "the reply body did not arrive", "reply body missing");
    }
    left -= chunk;
  }
}

void CRTSPDownload::exchange(RTSP_STEP step, const std::string& firstRequest, const char* sendError,
                             const char* replyError) {
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
    if (!sendRtspCommand(wire)) failStep(step, sendProblem(), sendError);
    if (getReply()) return;
    if (!readProblem_.empty()) failReply(step, readProblem_, replyError);

    if (isRedirect(replyCode_) && options_.maxRedirects > 0 && step != RTSP_STEP_PLAY) {
      const std::string location = rtsptext::headerValue(replyHead_, "Location");
      rtsptext::RtspUrl target;
      if (location.empty()) failReply(step, "a redirect without a Location", replyError);
      if (!rtsptext::parseRtspUrl(location, target)) {
        failReply(step, "redirected to \"" + location + "\", which is not an rtsp:// URL",
                  replyError);
      }
      if (redirectCount_ >= options_.maxRedirects) {
        failReply(step, "over " + std::to_string(options_.maxRedirects) + " redirects", replyError);
      }
      ++redirectCount_;
      throw Redirect{location};
    }
    if (replyCode_ == 401 && auth_) {
      // One retry per 401; a second one for the same request only when it
      // says the nonce went stale, and once. No loop.
      std::string detail;
      if (!auth_->onChallenge(rtsptext::headerValues(replyHead_, "WWW-Authenticate"), detail)) {
        failReply(step, detail, replyError);
      }
      if (++unauthorized > 1) {
        if (!auth_->stale() || staleAnswered) failReply(step, "authentication failed", replyError);
        staleAnswered = true;
      }
      skipReplyBody();
      info_.contentLength = 0;
      request = renumbered(request, info_.cseq);
      continue;
    }
    if (replyCode_ == 401) {
      failReply(step,
                options_.user.empty() ? "the server asks for credentials" : "authentication failed",
                replyError);
    }
    failReply(step, std::string("the server refused ") + stepName(step), replyError);
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
    failStep(RTSP_STEP_SDP, "the stream header (config=) is over 8192 bytes",
             "FileHeader is too long");
  }
  if (!received) failStep(RTSP_STEP_SDP, readProblem_, "DESCRIBE: recvSDPReply error");

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
  if (!connectRtspServer()) failStep(RTSP_STEP_CONNECT, readProblem_, "connectRtspServer error");

  exchange(RTSP_STEP_OPTIONS, makeOptions(), "OPTIONS: sendRtspCommand error",
           "OPTIONS: getReply error");
  keepAliveMethod_ =
      rtsptext::listsMethod(rtsptext::headerValue(replyHead_, "Public"), "GET_PARAMETER")
          ? "GET_PARAMETER"
          : "OPTIONS";

  exchange(RTSP_STEP_DESCRIBE, makeDescribe(), "DESCRIBE: sendRtspCommand error",
           "DESCRIBE: getReply error");
  takeDescription();

  // No usable video description: SETUP is skipped, not failed, and PLAY
  // goes out with the next CSeq.
  std::string request;
  if (makeVideoSetup(request, COMM_TCP_INTERLEAVED)) setupVideo(request);
  exchange(RTSP_STEP_PLAY, makePlay(), "PLAY sendRtspCommand error", "PLAY getReply error");
  sessionTimeoutSec_ = rtsptext::parseSessionHeader(info_.sessionId).timeoutSec;
  return true;
}

bool CRTSPDownload::TCPDownload(bool quietOnFailure) {
  // Every failing step records its failure and throws; the guard ends the
  // handshake the same way for a step's own failure and for anything else
  // thrown inside (an allocation failure). No receive thread exists yet, so
  // this thread may release the descriptor itself. No TEARDOWN is sent.
  const auto failed = [this, quietOnFailure]() {
    closeStream();
    closeUdp();
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
    if (lastFailure().step == RTSP_STEP_NONE) recordFailure(currentStep_, "internal error");
    return failed();
  }

  // Not guarded: an exception from the host's receiver reaches the caller of
  // startRTSPDownload, with the connection open and no receive thread; stop()
  // cleans up. The header always reaches the receiver before any packet.
  if (ptrRTPReceiver_) {
    const std::string streamHeader(sdp_.file_header, sdp_.file_header_len);
    ptrRTPReceiver_->Execute(streamHeader, true, &sdp_);
  }

  // Joinable, default priority class. The stack is 256 KiB instead of the
  // platform's default (8 MiB on Linux): the thread itself touches about
  // 8 KiB (its buffers are on the heap), the rest is room for the host's
  // OnRecvData, and a thousand sessions then reserve 256 MiB of address
  // space for stacks instead of 8 GiB, with half the page tables. Only
  // touched pages are ever resident either way. A failed spawn is not reported: the
  // result stays true and nothing reads the connection until stop().
  const std::size_t kRecvThreadStackSize = 256 * 1024;
  if (ACE_Thread::spawn(
          udpInUse() ? &CRTSPDownload::udpThreadEntry : &CRTSPDownload::recvThreadEntry, this, 0,
          nullptr, &threadHandles_[threadCount_], 0, nullptr, kRecvThreadStackSize,
          nullptr) != -1) {
    ++threadCount_;
  }
  return true;
}
