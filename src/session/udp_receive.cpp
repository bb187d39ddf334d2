// The receive thread of a session over UDP: one poll on the RTP socket, the
// RTCP socket and the RTSP connection. Datagrams of the sender go to the
// receiver one by one, exactly as interleaved frames do; the connection is
// read as the interleaved loop reads it (keep-alive replies skipped, server
// requests answered, its close ends reception); receiver reports go out
// about every 5 s.
#include <rtsppull/rtsp_download.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "session/session_internal.h"
#include "session/udp_state.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::seconds kReportEvery(5);
// The control connection carries only RTSP messages here, but frames fit too.
const std::size_t kControlBufSize = InterleavedReader::kMinCapacity;

// The keep-alive schedule of the options, as the interleaved loop keeps it:
// N > 0 seconds, or half the server's timeout (60 s when none), at least 1 s.
Clock::duration keepAliveEvery(int keepAliveSec, int serverTimeoutSec) {
  if (keepAliveSec > 0) return std::chrono::seconds(keepAliveSec);
  if (keepAliveSec == 0) return Clock::duration::zero();
  const long long halfMs = (serverTimeoutSec > 0 ? serverTimeoutSec : 60) * 500LL;
  return std::chrono::milliseconds(std::max(halfMs, 1000LL));
}

std::chrono::microseconds sinceEpoch(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
}

}  // namespace

ACE_THR_FUNC_RETURN CRTSPDownload::udpThreadEntry(void* arg) {
  // Only an exception from the host's callback could get here.
  try {
    MissionUDPThread(arg);
  } catch (...) {
  }
  return 0;
}

unsigned long CRTSPDownload::MissionUDPThread(void* arg) {
  CRTSPDownload* const self = static_cast<CRTSPDownload*>(arg);
  UdpState& udp = *self->udp_;
  // As on TCP: the thread shuts the connection down but releases nothing;
  // the host thread closes the connection and the sockets after the join.
  const auto failed = [self]() {
    self->shutdownStream();
    self->notifyFun();
  };

  try {
    ReceiveState state(kControlBufSize, true);
    const Clock::time_point start = Clock::now();
    state.lastData = start;
    state.keepAliveEvery = keepAliveEvery(self->options_.keepAliveSec, self->sessionTimeoutSec_);
    state.nextKeepAlive = start + state.keepAliveEvery;
    const bool keepAlive = state.keepAliveEvery != Clock::duration::zero();
    Clock::time_point lastPacket = start;
    Clock::time_point nextReport = start + kReportEvery;
    const std::chrono::seconds silence(self->recvTimeoutSec_);

    // One datagram to the receiver; false ends the batch (the failure is
    // thrown after it, outside the receive call).
    const char* refusal = nullptr;
    bool rtcp = false;
    Clock::time_point arrival;
    const auto deliver = [self, &udp, &state, &refusal, &rtcp, &arrival](const char* data,
                                                                         std::size_t size) {
      const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
      if (rtcp) {
        udp.stats.onRtcp(bytes, size, sinceEpoch(arrival));
      } else {
        udp.stats.onRtp(bytes, size, sinceEpoch(arrival));
      }
      // Without a receiver (the host must not take it away while the thread
      // runs) the datagram is dropped, as an interleaved frame would be.
      if (!self->ptrRTPReceiver_) return true;
      state.packet.assign(data, size);
      bool taken = false;
      try {
        taken = self->ptrRTPReceiver_->Execute(state.packet, false, nullptr);
      } catch (...) {
        refusal = "the receiver threw an exception";
        return false;
      }
      if (!taken) refusal = "the receiver refused a packet";
      return taken;
    };

    pollfd wanted[3] = {{self->rtspStream_.get_handle(), POLLIN, 0},
                        {udp.sockets.rtpFd(), POLLIN, 0},
                        {udp.sockets.rtcpFd(), POLLIN, 0}};
    for (;;) {
      if (self->stopFlag_) return 0;
      Clock::time_point deadline = std::min(lastPacket + silence, nextReport);
      if (keepAlive) deadline = std::min(deadline, state.nextKeepAlive);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      const long long ms = std::max<long long>(0, std::min<long long>(left.count(), INT_MAX));
      for (pollfd& p : wanted) p.revents = 0;
      if (::poll(wanted, 3, static_cast<int>(ms)) < 0 && errno != EINTR) {
        self->failReceive(std::string("waiting for data failed: ") + std::strerror(errno),
                          "UDP: poll error");
      }

      // The connection: a close (by the server, or by stop()) ends reception.
      if (wanted[0].revents != 0) {
        while (self->readControlInput(state)) {
          if (!self->serviceControlInput(state)) return 0;
        }
      }
      for (int i = 1; i < 3; ++i) {
        if (wanted[i].revents == 0) continue;
        rtcp = i == 2;
        arrival = Clock::now();
        const long got = udp.batch.receive(wanted[i].fd, udp.filter, deliver, udp.ignored);
        if (refusal != nullptr) {
          self->failReceive(refusal, "ptrRTPReceiver_->Execute raise exception");
        }
        if (got < 0) {
          self->failReceive(std::string("UDP receive failed: ") + std::strerror(errno),
                            "UDP: recv error");
        }
        if (got > 0) lastPacket = arrival;
      }

      const Clock::time_point now = Clock::now();
      if (now >= nextReport) {
        udp.sendReport(sinceEpoch(now));
        nextReport = std::max(nextReport + kReportEvery, now);
      }
      if (keepAlive && self->keepAliveDue(state, now)) self->sendKeepAlive(state);
      if (now >= lastPacket + silence) {
        self->failReceive(
            "timed out after " + std::to_string(self->recvTimeoutSec_) + " s without data",
            "UDP: recv data error, detail: recv timeout");
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
