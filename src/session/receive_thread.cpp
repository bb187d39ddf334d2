// The receive thread, one loop for both transports: the control connection
// read through the session's one reader (whole interleaved frames to the
// receiver one by one; with keep-alive on, or over UDP, RTSP messages of the
// server read between them and its requests answered), over UDP also the
// RTP and RTCP sockets in the same poll, their datagrams taken in batches
// (and the sockets left unwatched for a few milliseconds after a receive
// that emptied them); keep-alives, receiver reports, the receive timeout and
// stop() handled once for both.
#include <rtsppull/rtsp_download.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <ace/Guard_T.h>

#include "session/camera_state.h"
#include "session/rtsp_text.h"
#include "session/session_internal.h"
#include "session/udp_state.h"

namespace {

using Clock = std::chrono::steady_clock;

// Over UDP: the most tracks received (video and audio).
const std::size_t kMaxUdpTracks = 2;

// Over UDP: a receiver report about this often.
const std::chrono::seconds kReportEvery(5);

// Over UDP, after a round of receives that emptied a media socket, the
// media sockets are left unwatched for up to this long, so that one wake-up
// takes whole bursts instead of one or two datagrams (on the 2-core VM of
// bench/README.md a wake-up costs about as much as the kernel's work for 40
// datagrams). The control connection (and with it stop()) and the timers are
// still watched. A 30 fps stream sends a frame as one burst every 33 ms, so
// a 100 ms rest takes about three frames per wake-up; no datagram waits
// longer than one rest. Scaled down with the socket buffer the kernel
// granted (a full one: 2 MiB asked, doubled by the kernel for its
// per-datagram overhead). A session starts with kMediaRestFirst; the rest is
// doubled while what a round takes would fill under a sixteenth of the
// buffer, halved while over an eighth (kRestBudgetShare): a full buffer
// holds about 80 ms at 200 Mbit/s, where the rest settles at 7.5 ms, and a
// 20 Mbit/s stream reaches 100 ms. At the end
// of a rest the sockets are looked at without waiting, and a look that finds
// nothing starts another rest (a burst falls due in it), up to kQuietRests
// in a row; then the loop waits on the media sockets again, so a stream that
// paused costs no wake-ups.
const std::chrono::milliseconds kMediaRestMax(100);
const std::chrono::milliseconds kMediaRestFirst(15);
const std::chrono::milliseconds kMediaRestMin(1);
// The shortest rest of the interleaved connection (see interleavedRestMs).
const std::chrono::milliseconds kControlRestMin(5);
const long long kMediaRestFullBuffer = 2LL * 1024 * 1024;
const long long kRestBudgetShare = 8;
// What the kernel charges a datagram's buffer beyond its bytes, about.
const std::size_t kDatagramOverhead = 1024;
// Three rests of 100 ms cover the gap between the frames of a 4 fps stream.
const int kQuietRests = 3;

Clock::duration mediaRestFor(int grantedBuffer) {
  const long long granted = std::clamp<long long>(grantedBuffer, 0, kMediaRestFullBuffer);
  return std::chrono::duration_cast<Clock::duration>(kMediaRestMax) * granted /
         kMediaRestFullBuffer;
}

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

std::chrono::microseconds sinceEpoch(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
}

// A rest after a round that let in `round` bytes against `budget`: halved
// (not below `shortest`) when the round took more, doubled (not beyond
// `longest`) when it took under half, kept otherwise.
Clock::duration adaptedRest(Clock::duration rest, long long round, long long budget,
                            Clock::duration shortest, Clock::duration longest) {
  if (round > budget) return std::max(rest / 2, shortest);
  if (round < budget / 2) return std::min(rest * 2, longest);
  return rest;
}

}  // namespace

// The receive thread's own state, made by it at its start and used by it
// alone.
struct CRTSPDownload::ReceiveState {
  // The receiver gets it by const reference, valid only during the call, so
  // one string serves every packet and its capacity is reused.
  std::string packet;
  // The latest clock read: at every receive that brought bytes or
  // datagrams, and after every wait that ran out. Never per frame.
  Clock::time_point now;
  // The last media: a frame or a datagram, and on TCP without keep-alive
  // any byte (nothing but frames may come then, and a frame in pieces is
  // data too). Replies to keep-alives are no media.
  Clock::time_point lastMedia;
  bool anyByteIsMedia = false;
  Clock::duration silence{};
  // Zero duration: no keep-alive.
  Clock::duration keepAliveEvery{};
  Clock::time_point nextKeepAlive;
  Clock::time_point nextReport;  // over UDP
  // Over UDP: the media sockets are not polled before mediaRestEnd (see
  // kMediaRestMax); mediaRest is the next rest, at most mediaRestLongest
  // (zero: always polled), halved while one round of receives takes more
  // than restBudget bytes of the socket buffer. lookAfterRest: at the end of the
  // rest they are looked at without a wait; quietRests: the looks in a row
  // that found nothing.
  Clock::duration mediaRest{};
  Clock::duration mediaRestLongest{};
  long long restBudget = 0;
  Clock::time_point mediaRestEnd;
  bool lookAfterRest = false;
  int quietRests = 0;
  // A receive of this round emptied its socket; what the round's receives
  // took, as the kernel charges it (about).
  bool restDue = false;
  long long roundCharged = 0;
  // Over TCP with interleavedRestMs: the control connection is watched only
  // for its end (stop() shuts it down) before controlRestEnd, then read
  // without a wait.
  // controlRest adapts as the media rest does, between kControlRestMin and
  // controlRestLongest, to the bytes a rest lets in (from controlRoundStart)
  // against controlBudget.
  Clock::duration controlRest{};
  Clock::duration controlRestLongest{};
  Clock::time_point controlRestEnd;
  std::uint64_t controlRoundStart = 0;
  std::uint64_t controlBudget = 0;

  // After a round of receives: the rest, adapted to what the round took.
  void restMedia() {
    if (restDue && mediaRestLongest > Clock::duration::zero()) {
      mediaRest = adaptedRest(mediaRest, roundCharged, restBudget, kMediaRestMin, mediaRestLongest);
      mediaRestEnd = now + mediaRest;
      lookAfterRest = true;
    }
    restDue = false;
    roundCharged = 0;
  }
  // Over UDP: which track and which of its two sockets the datagrams being
  // handed on came through, and the batch's handing-on function, made once.
  bool rtcp = false;
  UdpState* udp = nullptr;
  std::function<bool(const char*, std::size_t)> deliverDatagram;
};

ACE_THR_FUNC_RETURN CRTSPDownload::receiveThreadEntry(void* arg) {
  CRTSPDownload* const self = static_cast<CRTSPDownload*>(arg);
  try {
    ReceiveState state;
    self->receiveLoop(state);
    self->camera_->stats.finish();
    return 0;  // stop() asked for it
  } catch (myException&) {
  } catch (...) {
    if (!self->stopping_)
      self->recordFailure(RTSP_STEP_RECEIVE, RTSP_CAUSE_INTERNAL, "internal error");
  }
  self->camera_->stats.finish();
  // The thread does not release the descriptor: stop() may be sending
  // TEARDOWN on it at this moment, and only the host thread closes it (and
  // the UDP sockets) after the join. Shutting it down in both directions
  // ends the connection for the server and makes any later send fail
  // harmlessly. An exception from the host's callback must not leave the
  // thread.
  try {
    self->shutdownStream();
    self->notifyFun();
  } catch (...) {
  }
  return 0;
}

void CRTSPDownload::failReceive(RTSP_CAUSE cause, const std::string& detail) {
  // A connection ended by stop() is no failure of the stream (stop() has
  // recorded why reception ended).
  if (!stopping_) recordFailure(RTSP_STEP_RECEIVE, cause, detail);
  throw myException(detail);
}

void CRTSPDownload::handToReceiver(ReceiveState& state, const char* data, std::size_t size) {
  // The host must not replace the receiver while the thread runs, so it is
  // used without a lock.
  state.packet.assign(data, size);
  bool taken = false;
  try {
    taken = ptrRTPReceiver_->Execute(state.packet, false, nullptr);
  } catch (...) {
    failReceive(RTSP_CAUSE_RECEIVER_REFUSED, "the receiver threw an exception");
  }
  if (!taken) failReceive(RTSP_CAUSE_RECEIVER_REFUSED, "the receiver refused a packet");
}

bool CRTSPDownload::serviceControlInput(ReceiveState& state) {
  for (;;) {
    // Checked between items only; stop() also shuts the socket down, which
    // ends a wait that is under way.
    if (stopFlag_) return false;
    const InterleavedReader::Item item = control_->buffer().next();
    switch (item.kind) {
      case InterleavedReader::Kind::kNeedMore:
        return true;
      case InterleavedReader::Kind::kFrame:
        // The channel tells the track (see handFrameOn): with the video
        // track alone, RTP and RTCP of any channel are delivered alike.
        // "%" frames are read and dropped. Its last bytes came with the
        // latest receive: no clock read per frame.
        state.lastMedia = state.now;
        if (item.magic == '$' && ptrRTPReceiver_ &&
            admitFrame(item.channel, item.payload.data(), item.payload.size(), state.now)) {
          handFrameOn(state, item.channel, item.payload.data(), item.payload.size());
        }
        break;
      case InterleavedReader::Kind::kMessage: {
        // A reply (to a keep-alive, or late) is skipped whatever its status;
        // a request of the server is answered.
        const std::string head(item.head);
        say(head);
        onReplyDuringReception(head);
        if (!rtsptext::requestMethod(rtsptext::startLine(head)).empty()) answerServerRequest(head);
        break;
      }
      case InterleavedReader::Kind::kBadByte: {
        char detail[48];
        std::snprintf(detail, sizeof detail, "unexpected byte 0x%02X in the stream", item.byte);
        failReceive(RTSP_CAUSE_BAD_DATA, detail);
      }
      case InterleavedReader::Kind::kBadMessage:
        failReceive(RTSP_CAUSE_BAD_DATA,
                    std::string("an RTSP message in the stream with ") + item.problem);
    }
  }
}

bool CRTSPDownload::readControlInput(ReceiveState& state) {
  switch (control_->receive()) {
    case ControlReader::Status::kOk:
      state.now = Clock::now();
      if (state.anyByteIsMedia) state.lastMedia = state.now;
      return true;
    case ControlReader::Status::kNothing:
      return false;
    case ControlReader::Status::kClosed:
      failReceive(RTSP_CAUSE_CLOSED_BY_SERVER, "the server closed the connection");
    default: {
      const int error = control_->error();
      failReceive(RTSP_CAUSE_NETWORK, error == ECONNRESET
                                          ? std::string("the server reset the connection")
                                          : std::string("receive failed: ") + std::strerror(error));
    }
  }
}

bool CRTSPDownload::readDatagrams(ReceiveState& state, UdpState& udp, bool rtcp) {
  state.rtcp = rtcp;
  state.udp = &udp;
  state.now = Clock::now();  // the arrival time of the batch, for the jitter
  // One set of buffers (the video track's) serves every track.
  const std::uint64_t ignoredBefore = udp.ignored;
  const UdpBatchReceiver::Outcome outcome =
      udp_->batch.receive(rtcp ? udp.sockets.rtcpFd() : udp.sockets.rtpFd(), udp.filter,
                          state.deliverDatagram, udp.ignored);
  if (udp.track == 0) camera_->stats.onWrongSource(udp.ignored - ignoredBefore);
  if (outcome.delivered < 0) {
    failReceive(RTSP_CAUSE_NETWORK, std::string("UDP receive failed: ") + std::strerror(errno));
  }
  if (outcome.delivered > 0) {
    state.lastMedia = state.now;
    state.quietRests = 0;
  }
  if (outcome.drained) {
    state.restDue = true;
    state.roundCharged +=
        static_cast<long long>(outcome.bytes + kDatagramOverhead * outcome.datagrams);
  }
  return outcome.delivered > 0;
}

void CRTSPDownload::sendDuringReception(const std::string& text, const char* failure) {
  // Under sendMutex_, held by the caller.
  std::size_t sent = 0;
  if (ControlChannel* const channel = control_->channel()) {
    if (channel->send(text.data(), text.size(), &kControlSendTimeout)) sent = text.size();
  } else {
    rtspStream_.send_n(text.data(), text.size(), MSG_NOSIGNAL, &kControlSendTimeout, &sent);
  }
  if (sent != text.size()) {
    failReceive(RTSP_CAUSE_NETWORK, std::string(failure) + std::strerror(errno));
  }
}

void CRTSPDownload::sendKeepAlive(ReceiveState& state) {
  {
    // The reply is never waited for: it is skipped when it comes, whatever
    // its status or CSeq (some servers answer late, wrongly, or never).
    ACE_Guard<ACE_Thread_Mutex> guard(sendMutex_);
    beforeKeepAlive();
    const std::string request = withAuthorization(makeKeepAlive());
    ++info_.cseq;
    sayRequest(request);
    sendDuringReception(request, "cannot send a keep-alive: ");
  }
  state.nextKeepAlive += state.keepAliveEvery;
  if (state.nextKeepAlive <= state.now) state.nextKeepAlive = state.now + state.keepAliveEvery;
}

void CRTSPDownload::answerServerRequest(const std::string& head) {
  const std::string method = rtsptext::requestMethod(rtsptext::startLine(head));
  const bool known = method == "OPTIONS" || method == "GET_PARAMETER";
  const std::string answer = kRtspVersion + (known ? " 200 OK" : " 501 Not Implemented") + kCrLf +
                             "CSeq: " + digitsOf(rtsptext::headerValue(head, "CSeq")) + kCrLf +
                             kCrLf;
  ACE_Guard<ACE_Thread_Mutex> guard(sendMutex_);
  say(answer);
  sendDuringReception(answer, "cannot answer a request of the server: ");
}

void CRTSPDownload::receiveLoop(ReceiveState& state) {
  UdpState* const udp = udp_.get();
  const bool keepAlive = options_.keepAliveSec != 0;
  // Over UDP the connection carries RTSP messages only (frames fit too).
  control_->buffer().setRtspMessages(keepAlive || udp != nullptr);
  state.now = state.lastMedia = Clock::now();
  state.anyByteIsMedia = !keepAlive && udp == nullptr;
  state.silence = std::chrono::seconds(recvTimeoutSec_);
  state.keepAliveEvery = keepAliveInterval(options_.keepAliveSec, sessionTimeoutSec_);
  state.nextKeepAlive = state.now + state.keepAliveEvery;
  state.nextReport = state.now + kReportEvery;
  // A channel (TLS, the tunnel) may hold bytes the socket no longer shows.
  if (control_->channel() == nullptr && options_.interleavedRestMs > 0) {
    state.controlRestLongest = state.controlRest =
        std::chrono::milliseconds(std::min(options_.interleavedRestMs, 1000));
    int granted = 0;
    socklen_t length = sizeof granted;
    if (::getsockopt(control_->fd(), SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) granted = 0;
    state.controlBudget = static_cast<std::uint64_t>(std::max(granted, 64 * 1024)) / 4;
  }
  if (udp != nullptr) {
    state.mediaRestLongest = mediaRestFor(udp->sockets.grantedReceiveBuffer());
    state.mediaRest = std::min<Clock::duration>(state.mediaRestLongest, kMediaRestFirst);
    state.restBudget = udp->sockets.grantedReceiveBuffer() / kRestBudgetShare;
    state.deliverDatagram = [this, &state](const char* data, std::size_t size) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
      if (state.rtcp) {
        state.udp->stats.onRtcp(bytes, size, sinceEpoch(state.now));
        if (state.udp->track == 0) camera_->stats.onRtcp(bytes, size);
      } else {
        state.udp->stats.onRtp(bytes, size, sinceEpoch(state.now));
        // The stream's figures and judgement are of the video track.
        if (state.udp->track == 0 && !camera_->stats.onRtp(bytes, size, state.now)) return true;
      }
      // Without a receiver the datagram is dropped, as an interleaved frame
      // would be.
      if (ptrRTPReceiver_) handTrackPacket(state, state.udp->track, state.rtcp, data, size);
      return true;
    };
  }

  // Over UDP, every track's sockets: RTP at 2i + 1, RTCP at 2i + 2.
  UdpState* udpTracks[kMaxUdpTracks] = {};
  std::size_t udpCount = 0;
  if (udp != nullptr) udpTracks[udpCount++] = udp;
  for (const auto& other : udpOthers_) {
    if (udpCount < kMaxUdpTracks) udpTracks[udpCount++] = other.get();
  }
  // What came with the PLAY reply first, then whatever the last wait found
  // readable. A wait comes only after a round that brought nothing; after
  // it the receive comes before the stop flag is looked at again, so a wait
  // that stop() ended by shutting the socket down fails like a read that
  // was under way.
  pollfd wanted[1 + 2 * kMaxUdpTracks] = {{control_->fd(), POLLIN, 0}};
  for (std::size_t t = 0; t < udpCount; ++t) {
    wanted[1 + 2 * t] = {udpTracks[t]->sockets.rtpFd(), POLLIN, 0};
    wanted[2 + 2 * t] = {udpTracks[t]->sockets.rtcpFd(), POLLIN, 0};
  }
  const nfds_t count = static_cast<nfds_t>(1 + 2 * udpCount);
  // A channel (TLS) may hold bytes the handshake's reads took off the
  // socket: they are received before the socket is waited for.
  bool readable[1 + 2 * kMaxUdpTracks] = {control_->mayHoldBytes()};
  replayEarlyFrames(state);
  if (!serviceControlInput(state)) return;
  for (;;) {
    bool came = false;
    if (readable[0]) {
      came = readControlInput(state);
      // A receive that drained the socket is followed by the wait, not by a
      // receive that would find nothing: one system call less per burst.
      readable[0] = came && control_->mayHoldMore();
      if (came && !serviceControlInput(state)) return;
      if (came && !readable[0] && state.controlRestLongest > Clock::duration::zero()) {
        state.controlRest = adaptedRest(
            state.controlRest,
            static_cast<long long>(control_->receivedBytes() - state.controlRoundStart),
            static_cast<long long>(state.controlBudget), kControlRestMin, state.controlRestLongest);
        state.controlRoundStart = control_->receivedBytes();
        state.controlRestEnd = state.now + state.controlRest;
      }
    }
    for (nfds_t i = 1; i < count; ++i) {
      if (readable[i]) came = readDatagrams(state, *udpTracks[(i - 1) / 2], i % 2 == 0) || came;
      readable[i] = false;  // the batch has taken all there was
    }
    state.restMedia();
    if (!came) {
      Clock::time_point wakeUp = nextWakeUp(state);
      const Clock::time_point before = Clock::now();
      // While the media sockets rest, only the control connection is
      // watched (it comes first in `wanted`); when the rest is over they
      // are looked at once without a wait.
      nfds_t watched = count;
      const bool look = before >= state.mediaRestEnd && state.lookAfterRest;
      if (before < state.mediaRestEnd) {
        watched = 1;
        wakeUp = std::min(wakeUp, state.mediaRestEnd);
      } else if (look) {
        wakeUp = before;
        state.lookAfterRest = false;
      }
      const bool controlResting = before < state.controlRestEnd;
      wanted[0].events = controlResting ? POLLRDHUP : POLLIN;
      if (controlResting) wakeUp = std::min(wakeUp, state.controlRestEnd);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeUp - before);
      const int ms = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
      for (pollfd& p : wanted) p.revents = 0;
      const int ready = poll_(wanted, watched, ms);
      if (ready < 0 && errno != EINTR) {
        failReceive(RTSP_CAUSE_NETWORK,
                    std::string("waiting for data failed: ") + std::strerror(errno));
      }
      for (nfds_t i = 0; i < count; ++i) readable[i] = ready > 0 && wanted[i].revents != 0;
      if (controlResting && ready == 0) readable[0] = true;  // the rest is over: read
      // After a wake-up for data the receive reads the clock; only a wait
      // that ran out needs it here.
      if (ready <= 0) state.now = Clock::now();
      if (look && ready == 0 && state.quietRests < kQuietRests) {
        ++state.quietRests;
        state.mediaRestEnd = state.now + state.mediaRest;
        state.lookAfterRest = true;
      }
    }
    if (state.keepAliveEvery != Clock::duration::zero() && state.now >= state.nextKeepAlive) {
      sendKeepAlive(state);
    }
    if (udp != nullptr && state.now >= state.nextReport) {
      for (std::size_t t = 0; t < udpCount; ++t) udpTracks[t]->sendReport(sinceEpoch(state.now));
      state.nextReport = std::max(state.nextReport + kReportEvery, state.now);
    }
    if (state.now >= state.lastMedia + state.silence) {
      failReceive(RTSP_CAUSE_NO_DATA,
                  "timed out after " + std::to_string(recvTimeoutSec_) + " s without data");
    }
  }
}

std::chrono::steady_clock::time_point CRTSPDownload::nextWakeUp(const ReceiveState& state) const {
  Clock::time_point wakeUp = state.lastMedia + state.silence;
  if (state.keepAliveEvery != Clock::duration::zero()) {
    wakeUp = std::min(wakeUp, state.nextKeepAlive);
  }
  if (udp_) wakeUp = std::min(wakeUp, state.nextReport);
  return wakeUp;
}
