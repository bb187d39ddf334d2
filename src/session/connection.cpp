// The control connection: connect, send a request, read a byte and a line,
// shut down and close.
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
#include "session/timed_recv.h"

namespace {
// Receive buffer of the control socket, in bytes.
const int kControlRecvBufSize = 32768;
// Bounded replies: the longest reply line, its CR LF included.
const std::size_t kMaxReplyLine = 8192 + 2;
}  // namespace

bool CRTSPDownload::connectRtspServer() {
  ACE_SOCK_Connector connector;
  ACE_INET_Addr address;
  readProblem_.clear();
  // Only the low 16 bits of the configured port are used for the connect;
  // the request texts print the full value. A name that does not resolve
  // shows up as a failing connect (and names the cause in lastFailure()).
  const int resolved =
      address.set(static_cast<u_short>(info_.serverPort & 0xFFFFu), info_.serverAddr.c_str(), 1, 0);
  // A chosen receive buffer is asked for before the connect, so that the
  // window scale offered in the SYN can use it; the connector then connects
  // the socket opened here.
  const int chosenSize = options_.receiveBufferBytes;
  if (chosenSize > 0 && resolved != -1) {
    if (rtspStream_.open(SOCK_STREAM, address.get_type(), 0, 0) == -1) {
      readProblem_ = std::string("cannot open a socket: ") + std::strerror(errno);
      return false;
    }
    int size = chosenSize;
    if (rtspStream_.set_option(SOL_SOCKET, SO_RCVBUF, &size, static_cast<int>(sizeof size)) == -1) {
      readProblem_ = std::string("cannot set the receive buffer: ") + std::strerror(errno);
      rtspStream_.close();
      return false;
    }
  }
  // The timeout is always passed by pointer: a zero timeout means one
  // immediate attempt, never an unbounded wait.
  if (connector.connect(rtspStream_, address, &connectTimeout_, ACE_Addr::sap_any, 0, 0, 0, 0) ==
      -1) {
    const int error = errno;
    if (resolved == -1) {
      readProblem_ = "the host name \"" + info_.serverAddr + "\" could not be resolved";
    } else if (error == ECONNREFUSED) {
      readProblem_ = "connection refused";
    } else if (error == ETIME || error == ETIMEDOUT || error == EWOULDBLOCK ||
               error == EINPROGRESS) {
      readProblem_ = "connection timed out";
    } else {
      readProblem_ = std::string("connect failed: ") + std::strerror(error);
    }
    return false;
  }
  if (chosenSize > 0) return true;
  int size = kControlRecvBufSize;
  if (rtspStream_.set_option(SOL_SOCKET, SO_RCVBUF, &size, static_cast<int>(sizeof size)) == -1) {
    readProblem_ = std::string("cannot set the receive buffer: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool CRTSPDownload::sendRtspCommand(const std::string& request) {
  // MSG_NOSIGNAL: a peer that has gone away makes the send fail instead of
  // raising SIGPIPE in the host process. No timeout: the send blocks until
  // every byte is out or the socket fails.
  size_t sent = 0;
  rtspStream_.send_n(request.data(), request.size(), MSG_NOSIGNAL, nullptr, &sent);
  return sent == request.size();
}

int CRTSPDownload::recvData(char& c) {
  // A timed one-byte read with the contract of recv_n (1, 0 on a closed
  // connection, -1 on an error or 20 s of silence) that does not switch the
  // socket's blocking mode around every byte.
  const std::string tooSlow =
      "the server took over " + std::to_string(recvTimeoutSec_) + " s to answer";
  ACE_Time_Value timeout(recvTimeoutSec_, 0);
  bool cutByDeadline = false;
  if (options_.boundedReplies) {
    // The whole step shares one deadline; each wait ends at it at the latest.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        stepDeadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      readProblem_ = tooSlow;
      return -1;
    }
    if (left < std::chrono::seconds(recvTimeoutSec_)) {
      timeout.msec(static_cast<long>(left.count()));
      cutByDeadline = true;
    }
  }
  std::size_t transferred = 0;
  const int got =
      static_cast<int>(recvExactTimed(rtspStream_.get_handle(), &c, 1, timeout, transferred));
  if (got == 0) {
    readProblem_ = "the server closed the connection";
  } else if (got < 0 && readProblem_.empty()) {
    if (errno != ETIME) {
      readProblem_ = std::string("receive failed: ") + std::strerror(errno);
    } else if (cutByDeadline) {
      readProblem_ = tooSlow;
    } else {
      readProblem_ =
          "timed out after " + std::to_string(recvTimeoutSec_) + " s waiting for a reply";
    }
  }
  return got;
}

std::string CRTSPDownload::streamGetLine() {
  // One byte per receive and nothing read ahead: the bytes after a line's
  // CR LF (a reply body, the interleaved stream) stay in the socket for their
  // own readers. The first CR LF in the line is always at its end, so testing
  // the last two bytes after each byte finds exactly where a full search of
  // the text would.
  std::string line;
  for (;;) {
    char c = 0;
    // 0 means the peer has closed the connection: no byte will ever come, so
    // it ends the line like a failed read. Callers know only a line ending
    // in CR LF or the empty string for failure.
    if (recvData(c) <= 0) return std::string();
    line.push_back(c);
    if (options_.boundedReplies && line.size() > kMaxReplyLine) {
      readProblem_ = "a reply line over 8 KiB";
      return std::string();
    }
    if (c == '\n' && line.size() >= 2 && line[line.size() - 2] == '\r') return line;
  }
}

void CRTSPDownload::shutdownStream() {
  // Both directions: a read blocked on the socket in another thread returns
  // at once, the peer sees the connection end, and a later send fails
  // harmlessly. The descriptor stays allocated, so no other thread can find
  // it reused under its feet.
  ACE_HANDLE handle = rtspStream_.get_handle();
  if (handle != ACE_INVALID_HANDLE) ACE_OS::shutdown(handle, ACE_SHUTDOWN_BOTH);
}

void CRTSPDownload::closeStream() {
  // Releases the descriptor and marks the stream closed; a second call finds
  // it closed and does nothing.
  rtspStream_.close();
}
