// The receive thread: interleaved frames read from the control connection
// and handed to the receiver one by one.
#include <rtsppull/rtsp_download.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "session/session_internal.h"
#include "session/timed_recv.h"

namespace {

// Payload buffer of the receive thread. Any interleaved payload (at most
// 65,535 bytes) fits.
const std::size_t kRecvBufSize = 819200;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// "$" frames carry data for the receiver; "%" frames are read and dropped.
const char kDataMagic = '$';
const char kDroppedMagic = '%';

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
    // On the heap, owned by this function for the life of the thread, all
    // zeros. calloc hands out fresh pages that are zero already instead of
    // writing 800 KB of zeros, so only the pages that payloads reach (the
    // first 64 KB at most) ever become resident: a session costs neither
    // 800 KB of memory nor 200 page faults at thread start.
    std::unique_ptr<char, FreeDeleter> recvBuf(static_cast<char*>(std::calloc(kRecvBufSize, 1)));
    if (!recvBuf) throw std::bad_alloc();
    char header[4] = {0, 0, 0, 0};
    const ACE_Time_Value timeout(self->recvTimeoutSec_, 0);
    // The string each payload is copied into. The receiver gets it by const
    // reference, valid only during the call, so one string serves every
    // frame and its capacity is reused: no allocation per packet once it
    // has grown to the largest payload seen.
    std::string packet;

    for (;;) {
      // Checked between frames only; stop() also shuts the socket down, which
      // ends a read that is under way.
      if (self->stopFlag_) return 0;

      // Each read waits up to the timeout for more data, like a timed
      // recv_n, without switching the socket's blocking mode around it.
      std::size_t transferred = 0;
      recvExactTimed(self->rtspStream_.get_handle(), header, sizeof header, timeout, transferred);
      if (transferred != sizeof header) {
        const int error = errno;
        std::ostringstream message;
        message << "TCP: recv data error, detail: RTSPInterFrame recv timeout, error no: " << error;
        throw myException(message.str());
      }

      const char magic = header[0];
      if (magic != kDataMagic && magic != kDroppedMagic) {
        std::ostringstream message;
        message << "TCP: recv error magic data : " << magic;
        throw myException(message.str());
      }
      // header[1] is the channel: RTP and RTCP are delivered alike.
      std::uint16_t netLength = 0;
      std::memcpy(&netLength, header + 2, sizeof netLength);
      const std::size_t length = ntohs(netLength);

      transferred = 0;
      recvExactTimed(self->rtspStream_.get_handle(), recvBuf.get(), length, timeout, transferred);
      if (transferred != length) {
        const int error = errno;
        std::ostringstream message;
        message << "TCP: recv data error, detail: recv timeout, error no: " << error;
        throw myException(message.str());
      }

      if (magic == kDroppedMagic) continue;

      // The host must not replace the receiver while the thread runs, so it
      // is used without a lock.
      if (self->ptrRTPReceiver_) {
        packet.assign(recvBuf.get(), length);
        if (!self->ptrRTPReceiver_->Execute(packet, false, nullptr)) {
          throw myException("ptrRTPReceiver_->Execute raise exception");
        }
      }
    }
  } catch (myException&) {
    failed();
  } catch (...) {
    failed();
  }
  return 0;
}
