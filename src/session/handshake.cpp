// The handshake: connect, OPTIONS, DESCRIBE with its SDP body, SETUP of the
// video track, PLAY; then the stream file header and the receive thread.
#include <rtsppull/rtsp_download.h>

#include <iostream>

#include "session/session_internal.h"

bool CRTSPDownload::TCPDownload(bool quietOnFailure) {
  // Every failing step throws; the guard of its block ends the handshake the
  // same way for a step's own failure and for anything else thrown inside
  // (a too long stream header, an allocation failure). No receive thread
  // exists yet, so this thread may release the descriptor itself. No
  // TEARDOWN is sent.
  const auto failed = [this, quietOnFailure]() {
    closeStream();
    if (!quietOnFailure) notifyFun();
    return false;
  };
  // One request text, reused. Each request is echoed just before it is sent,
  // unflushed.
  std::string request;

  try {
    if (!connectRtspServer()) throw myException("connectRtspServer error");

    request = makeOptions();
    std::cout << request;
    if (!sendRtspCommand(request)) throw myException("OPTIONS: sendRtspCommand error");
    if (!getReply()) throw myException("OPTIONS: getReply error");

    request = makeDescribe();
    std::cout << request;
    if (!sendRtspCommand(request)) throw myException("DESCRIBE: sendRtspCommand error");
    if (!getReply()) throw myException("DESCRIBE: getReply error");
    if (!recvSDPReply()) throw myException("DESCRIBE: recvSDPReply error");
  } catch (myException&) {
    return failed();
  } catch (...) {
    return failed();
  }

  try {
    // No usable video description: SETUP is skipped, not failed, and PLAY
    // goes out with the next CSeq.
    if (makeVideoSetup(request, COMM_TCP_INTERLEAVED)) {
      std::cout << request;
      if (!sendRtspCommand(request)) throw myException("SETUP: sendRtspCommand error");
      if (!getReply()) throw myException("SETUP: getReply error");
    }
  } catch (myException&) {
    return failed();
  } catch (...) {
    return failed();
  }

  try {
    request = makePlay();
    std::cout << request;
    if (!sendRtspCommand(request)) throw myException("PLAY sendRtspCommand error");
    if (!getReply()) throw myException("PLAY getReply error");
  } catch (myException&) {
    return failed();
  } catch (...) {
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
  if (ACE_Thread::spawn(&CRTSPDownload::recvThreadEntry, this, 0, nullptr,
                        &threadHandles_[threadCount_], 0, nullptr, kRecvThreadStackSize,
                        nullptr) != -1) {
    ++threadCount_;
  }
  return true;
}
