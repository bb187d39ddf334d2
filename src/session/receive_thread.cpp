// The receive thread: the control connection read through a buffer of its
// own, whole interleaved frames handed to the receiver one by one; with
// keep-alive on, keep-alive requests sent and RTSP messages of the server
// read (and requests answered) between the frames.
#include <rtsppull/rtsp_download.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <ace/Guard_T.h>

#include "session/rtsp_text.h"
#include "session/session_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Capacity of the thread's buffer. One receive takes whatever the socket
// holds (the control socket's receive buffer bounds it), whole frames are
// handed on from it, and the rest of a frame waits at its front for the next
// receive: the pages beyond the largest receive plus one frame are never
// touched, so never resident.
const std::size_t kRecvBufSize = 256 * 1024;

// The most one receive takes. Every page of the buffer that a receive writes
// stays resident for the life of the session, and with the control socket's
// 32 KiB receive buffer one receive could take about 64 KiB: at 20 Mbit/s
// that made each session cost 0.1 MiB. 16 KiB (a dozen 1400-byte packets)
// still takes many frames per system call (the CPU per packet stayed within
// the noise of unbounded receives) and keeps the written part of the buffer
// at 16 KiB plus the rest of one frame.
const std::size_t kMaxReceive = 16 * 1024;

// The longest a keep-alive or an answer to the server may take to send: the
// send lock is held meanwhile, and stop() waits for it.
const ACE_Time_Value kControlSendTimeout(5, 0);

// The keep-alive interval of the options, given the timeout the server
// announced (-1: none); zero: no keep-alive.
Clock::duration keepAliveInterval(int keepAliveSec, int serverTimeoutSec) {
  if (keepAliveSec > 0) return std::chrono::seconds(keepAliveSec);
  if (keepAliveSec == 0) return Clock::duration::zero();
  // Half the announced timeout (60 s when none), never under a second.
  const long long halfMs = (serverTimeoutSec > 0 ? serverTimeoutSec : 60) * 500LL;
  return std::chrono::milliseconds(std::max(halfMs, 1000LL));
}

// Only the digits of a CSeq value are echoed, so that nothing the server
// wrote can add a line to the answer.
std::string digitsOf(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c >= '0' && c <= '9' && digits.size() < 10) digits += c;
  }
  return digits;
}

}  // namespace

ACE_THR_FUNC_RETURN CRTSPDownload::recvThreadEntry(void* arg) {
  // The function the thread library calls, of exactly the type it expects.
  // MissionTCPThread handles every failure of the loop itself; only an
  // exception from the host's callback could get here, and it must not
  // leave the thread.
  try {
    MissionTCPThread(arg);
  } catch (...) {
  }
  return 0;
}

void CRTSPDownload::failReceive(const std::string& detail, const char* message) {
  // A connection ended by stop() is no failure of the stream.
  if (!stopping_) recordFailure(RTSP_STEP_RECEIVE, detail);
  throw myException(message);
}

bool CRTSPDownload::serviceControlInput(ReceiveState& state) {
  for (;;) {
    // Checked between items only; stop() also shuts the socket down, which
    // ends a wait that is under way.
    if (stopFlag_) return false;
    const InterleavedReader::Item item = state.reader.next();
    switch (item.kind) {
      case InterleavedReader::Kind::kNeedMore:
        return true;
      case InterleavedReader::Kind::kFrame:
        // The channel is not looked at: RTP and RTCP are delivered alike.
        // "%" frames are read and dropped. The host must not replace the
        // receiver while the thread runs, so it is used without a lock.
        // Its last bytes came with the latest receive: no clock read per frame.
        state.lastFrame = state.lastData;
        if (item.magic == '$' && ptrRTPReceiver_) {
          state.packet.assign(item.payload.data(), item.payload.size());
          bool taken = false;
          try {
            taken = ptrRTPReceiver_->Execute(state.packet, false, nullptr);
          } catch (...) {
            failReceive("the receiver threw an exception", "ptrRTPReceiver_->Execute threw");
          }
          if (!taken) {
            failReceive("the receiver refused a packet",
                        "ptrRTPReceiver_->Execute raise exception");
          }
        }
        break;
      case InterleavedReader::Kind::kMessage: {
        // A reply (to a keep-alive, or late) is skipped whatever its status;
        // a request of the server is answered.
        const std::string head(item.head);
        say(head);
        if (!rtsptext::requestMethod(rtsptext::startLine(head)).empty()) answerServerRequest(head);
        break;
      }
      case InterleavedReader::Kind::kBadByte: {
        char detail[48];
        std::snprintf(detail, sizeof detail, "unexpected byte 0x%02X in the stream", item.byte);
        failReceive(detail, "TCP: recv error magic data");
      }
      case InterleavedReader::Kind::kBadMessage:
        failReceive(std::string("an RTSP message in the stream with ") + item.problem,
                    "TCP: bad RTSP message");
    }
  }
}

bool CRTSPDownload::readControlInput(ReceiveState& state) {
  char* const space = state.reader.space();
  const std::size_t room = std::min(state.reader.spaceSize(), kMaxReceive);
  const ssize_t n = ::recv(rtspStream_.get_handle(), space, room, MSG_DONTWAIT);
  if (n > 0) {
    state.reader.commit(static_cast<std::size_t>(n));
    state.lastData = Clock::now();
    return true;
  }
  if (n == 0) {
    failReceive("the server closed the connection", "TCP: recv data error, connection closed");
  }
  const int error = errno;
  // A signal handled by the host is no failure of the connection.
  if (error == EINTR) return true;
  if (error == EWOULDBLOCK || error == EAGAIN || error == ENOBUFS) return false;
  failReceive(error == ECONNRESET ? std::string("the server reset the connection")
                                  : std::string("receive failed: ") + std::strerror(error),
              "TCP: recv data error");
}

bool CRTSPDownload::keepAliveDue(const ReceiveState& state, Clock::time_point now) const {
  return state.keepAliveEvery != Clock::duration::zero() && now >= state.nextKeepAlive;
}

Clock::time_point CRTSPDownload::receiveDeadline(const ReceiveState& state) const {
  if (state.keepAliveEvery == Clock::duration::zero()) {
    return state.lastData + std::chrono::seconds(recvTimeoutSec_);
  }
  return std::min(state.lastFrame + std::chrono::seconds(recvTimeoutSec_), state.nextKeepAlive);
}

void CRTSPDownload::sendKeepAlive(ReceiveState& state) {
  {
    // The reply is never waited for: it is skipped when it comes, whatever
    // its status or CSeq (some servers answer late, wrongly, or never).
    ACE_Guard<ACE_Thread_Mutex> guard(sendMutex_);
    const std::string request = withAuthorization(makeKeepAlive());
    ++info_.cseq;
    sayRequest(request);
    std::size_t sent = 0;
    rtspStream_.send_n(request.data(), request.size(), MSG_NOSIGNAL, &kControlSendTimeout, &sent);
    if (sent != request.size()) {
      failReceive(std::string("cannot send a keep-alive: ") + std::strerror(errno),
                  "TCP: keep-alive send error");
    }
  }
  state.nextKeepAlive += state.keepAliveEvery;
  const Clock::time_point now = Clock::now();
  if (state.nextKeepAlive <= now) state.nextKeepAlive = now + state.keepAliveEvery;
}

void CRTSPDownload::answerServerRequest(const std::string& head) {
  const std::string method = rtsptext::requestMethod(rtsptext::startLine(head));
  const bool known = method == "OPTIONS" || method == "GET_PARAMETER";
  const std::string answer = kRtspVersion + (known ? " 200 OK" : " 501 Not Implemented") + kCrLf +
                             "CSeq: " + digitsOf(rtsptext::headerValue(head, "CSeq")) + kCrLf +
                             kCrLf;
  ACE_Guard<ACE_Thread_Mutex> guard(sendMutex_);
  say(answer);
  std::size_t sent = 0;
  rtspStream_.send_n(answer.data(), answer.size(), MSG_NOSIGNAL, &kControlSendTimeout, &sent);
  if (sent != answer.size()) {
    failReceive(std::string("cannot answer a request of the server: ") + std::strerror(errno),
                "TCP: answer send error");
  }
}

unsigned long CRTSPDownload::MissionTCPThread(void* arg) {
  CRTSPDownload* const self = static_cast<CRTSPDownload*>(arg);
  // On failure the thread does not release the descriptor: stop() may be
  // sending TEARDOWN on it at this moment, and only the host thread closes it
  // (after the join). Shutting it down in both directions ends the
  // connection for the server and makes any later send fail harmlessly.
  const auto failed = [self]() {
    self->shutdownStream();
    self->notifyFun();
  };

  try {
    const bool keepAlive = self->options_.keepAliveSec != 0;
    ReceiveState state(kRecvBufSize, keepAlive);
    state.lastData = state.lastFrame = Clock::now();
    state.keepAliveEvery = keepAliveInterval(self->options_.keepAliveSec, self->sessionTimeoutSec_);
    state.nextKeepAlive = state.lastData + state.keepAliveEvery;

    for (;;) {
      if (!self->serviceControlInput(state)) return 0;
      // Receive until something came. After a wait the receive comes first,
      // before the stop flag is looked at again: a wait that stop() ended by
      // shutting the socket down fails like a read that was under way.
      for (;;) {
        if (keepAlive && self->keepAliveDue(state, Clock::now())) self->sendKeepAlive(state);
        if (self->readControlInput(state)) break;
        self->waitForControlInput(state);
      }
    }
  } catch (myException&) {
    failed();
  } catch (...) {
    if (!self->stopping_) self->recordFailure(RTSP_STEP_RECEIVE, "internal error");
    failed();
  }
  return 0;
}

void CRTSPDownload::waitForControlInput(const ReceiveState& state) {
  // Nothing there: wait for data, a hang-up (the next receive reports
  // it) or the deadline.
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(receiveDeadline(state) - Clock::now());
  const long long ms = std::max<long long>(0, std::min<long long>(left.count(), INT_MAX));
  pollfd wanted{rtspStream_.get_handle(), POLLIN, 0};
  const int ready = ::poll(&wanted, 1, static_cast<int>(ms));
  if (ready < 0 && errno != EINTR) {
    failReceive(std::string("waiting for data failed: ") + std::strerror(errno), "TCP: poll error");
  }
  const Clock::time_point silentSince =
      state.keepAliveEvery == Clock::duration::zero() ? state.lastData : state.lastFrame;
  if (ready == 0 && Clock::now() >= silentSince + std::chrono::seconds(recvTimeoutSec_)) {
    failReceive("timed out after " + std::to_string(recvTimeoutSec_) + " s without data",
                "TCP: recv data error, detail: RTSPInterFrame recv timeout");
  }
}
