// The control connection: connect, send a request, read a reply line, shut
// down and close.
#include <rtsppull/rtsp_download.h>

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <ace/INET_Addr.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/SOCK_Connector.h>

#include "session/session_internal.h"

namespace {
// Receive buffer of the control socket, in bytes.
const int kControlRecvBufSize = 32768;
// Bounded replies: the longest reply line, its CR LF included.
const std::size_t kMaxReplyLine = 8192 + 2;
}  // namespace

RTSP_CAUSE causeOf(ControlReadStatus status) {
  switch (status) {
    case ControlReader::Status::kClosed:
      return RTSP_CAUSE_CLOSED_BY_SERVER;
    case ControlReader::Status::kTimedOut:
    case ControlReader::Status::kDeadline:
      return RTSP_CAUSE_TIMED_OUT;
    case ControlReader::Status::kTooLong:
      return RTSP_CAUSE_MALFORMED_REPLY;
    default:
      return RTSP_CAUSE_NETWORK;
  }
}

bool CRTSPDownload::connectRtspServer() {
  ACE_SOCK_Connector connector;
  ACE_INET_Addr address;
  readProblem_.clear();
  if ((options_.tls || options_.httpTunnel) && options_.transport != RTSP_TRANSPORT_TCP) {
    readCause_ = RTSP_CAUSE_TLS;
    readProblem_ = std::string("media over UDP cannot go with ") +
                   (options_.tls ? "TLS (no SRTP)" : "an HTTP tunnel");
    return false;
  }
  // Only the low 16 bits of the configured port are used for the connect;
  // the request texts print the full value. A name that does not resolve
  // shows up as a failing connect (and names the cause in lastFailure()).
  const int resolved =
      address.set(static_cast<u_short>(info_.serverPort & 0xFFFFu), info_.serverAddr.c_str(), 1, 0);
  const auto refused = [this](RTSP_CAUSE cause, const std::string& problem) {
    readCause_ = cause;
    readProblem_ = problem;
    return false;
  };
  // A chosen receive buffer is asked for before the connect, so that the
  // window scale offered in the SYN can use it; the connector then connects
  // the socket opened here.
  const int chosenSize = options_.receiveBufferBytes;
  if (chosenSize > 0 && resolved != -1) {
    if (rtspStream_.open(SOCK_STREAM, address.get_type(), 0, 0) == -1) {
      return refused(RTSP_CAUSE_RESOURCES,
                     std::string("cannot open a socket: ") + std::strerror(errno));
    }
    int size = chosenSize;
    if (rtspStream_.set_option(SOL_SOCKET, SO_RCVBUF, &size, static_cast<int>(sizeof size)) == -1) {
      const int error = errno;
      rtspStream_.close();
      return refused(RTSP_CAUSE_RESOURCES,
                     std::string("cannot set the receive buffer: ") + std::strerror(error));
    }
  }
  // The timeout is always passed by pointer: a zero timeout means one
  // immediate attempt, never an unbounded wait.
  if (connector.connect(rtspStream_, address, &connectTimeout_, ACE_Addr::sap_any, 0, 0, 0, 0) ==
      -1) {
    const int error = errno;
    if (resolved == -1) {
      return refused(RTSP_CAUSE_NAME_NOT_RESOLVED,
                     "the host name \"" + info_.serverAddr + "\" could not be resolved");
    }
    if (error == ECONNREFUSED) return refused(RTSP_CAUSE_REFUSED, "connection refused");
    if (error == ETIME || error == ETIMEDOUT || error == EWOULDBLOCK || error == EINPROGRESS) {
      return refused(RTSP_CAUSE_TIMED_OUT, "connection timed out");
    }
    return refused(RTSP_CAUSE_NETWORK, std::string("connect failed: ") + std::strerror(error));
  }
  control_->attach(rtspStream_.get_handle());
  if (chosenSize <= 0) {
    int size = kControlRecvBufSize;
    if (rtspStream_.set_option(SOL_SOCKET, SO_RCVBUF, &size, static_cast<int>(sizeof size)) == -1) {
      return refused(RTSP_CAUSE_RESOURCES,
                     std::string("cannot set the receive buffer: ") + std::strerror(errno));
    }
  }
  if (!options_.tls && !options_.httpTunnel) return true;
  ChannelFailure failure;
  std::string warning;
  const bool opened = openControlChannel(
      *control_, rtspStream_.get_handle(), info_.serverAddr, info_.serverPort, info_.streamPath,
      options_, connectTimeout_, std::chrono::seconds(recvTimeoutSec_), failure, warning);
  if (!warning.empty()) sayLine(warning);
  return opened || refused(failure.cause, failure.detail);
}

bool CRTSPDownload::sendRtspCommand(const std::string& request) {
  // MSG_NOSIGNAL: a peer that has gone away makes the send fail instead of
  // raising SIGPIPE in the host process. No timeout: the send blocks until
  // every byte is out or the socket fails.
  if (ControlChannel* const channel = control_->channel()) {
    return channel->send(request.data(), request.size(), nullptr);
  }
  size_t sent = 0;
  rtspStream_.send_n(request.data(), request.size(), MSG_NOSIGNAL, nullptr, &sent);
  return sent == request.size();
}

ControlReader::Wait CRTSPDownload::replyWait(int eachSec) const {
  // Bounded replies: the whole step shares one deadline; each wait ends at
  // it at the latest.
  ControlReader::Wait wait{std::chrono::seconds(eachSec)};
  if (options_.boundedReplies) wait.until = stepDeadline_;
  return wait;
}

void CRTSPDownload::noteReadProblem(ControlReadStatus status, const std::string& timedOut) {
  readCause_ = causeOf(status);
  switch (status) {
    case ControlReader::Status::kClosed:
      readProblem_ = "the server closed the connection";
      break;
    case ControlReader::Status::kTimedOut:
      readProblem_ = timedOut;
      break;
    case ControlReader::Status::kDeadline:
      readProblem_ = "the server took over " + std::to_string(recvTimeoutSec_) + " s to answer";
      break;
    case ControlReader::Status::kTooLong:
      readProblem_ = "a reply line over 8 KiB";
      break;
    default:
      readProblem_ = std::string("receive failed: ") + std::strerror(control_->error());
  }
}

std::string CRTSPDownload::streamGetLine() {
  // Callers know only a line ending in CR LF, or the empty string for a
  // failure (readProblem_ says which).
  std::string line;
  const ControlReader::Status got =
      control_->line(line, options_.boundedReplies ? kMaxReplyLine : 0, replyWait(recvTimeoutSec_));
  if (got == ControlReader::Status::kOk) return line;
  noteReadProblem(got,
                  "timed out after " + std::to_string(recvTimeoutSec_) + " s waiting for a reply");
  return std::string();
}

void CRTSPDownload::shutdownStream() {
  // Both directions: a read blocked on the socket in another thread returns
  // at once, the peer sees the connection end, and a later send fails
  // harmlessly. The descriptor stays allocated, so no other thread can find
  // it reused under its feet.
  if (ControlChannel* const channel = control_->channel()) channel->shutdown();
  ACE_HANDLE handle = rtspStream_.get_handle();
  if (handle != ACE_INVALID_HANDLE) ACE_OS::shutdown(handle, ACE_SHUTDOWN_BOTH);
}

void CRTSPDownload::closeStream() {
  // Releases the descriptor and marks the stream closed; a second call finds
  // it closed and does nothing.
  // The channel (TLS state, the tunnel's second connection) goes first: it
  // may still refer to the descriptor.
  control_->swapChannel(nullptr);
  rtspStream_.close();
}
