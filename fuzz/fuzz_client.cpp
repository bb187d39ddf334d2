// Fuzz target: the whole client over loopback. The input is everything the
// server says (replies, SDP body, interleaved frames) as one stream: a server
// thread writes it, shuts its side down and reads until the client closes.
// Odd input lengths stop once the receive thread has ended by itself, even
// ones stop at once, while the thread may be reading. Checks: a failed start
// runs the callback once and delivers nothing; a good one delivers the stream
// header once, with the SDP record, before any packet; packets come without a
// record and at most 65535 bytes; never two callbacks; stop() returns; no
// descriptor is left open. The timeouts are cut to 1 s, so a read that waits
// for bytes that never come shows up as a slow unit.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>

#include <rtsppull/rtsp_download.h>

#include "support/loopback.h"
#include "support/open_descriptors.h"
#include "support/session_peer.h"
#include "check.h"

namespace {

std::atomic<int> g_callbacks, g_headers;
int g_listenFd = -1;
unsigned g_port = 0;
volatile char g_touch;

struct Host : IRTPReceiver {  // the header once, with the record, before any packet
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    if (length > 0) g_touch = data[0] ^ data[length - 1];  // data past its buffer shows
    check(isFileHeader ? ++g_headers == 1 && sdp && length <= SDP::kFileHeaderCapacity
                       : g_headers == 1 && !sdp && length <= 65535);
    return true;
  }
};

void serve(const std::string& input) {
  pollfd p{g_listenFd, POLLIN, 0};
  const int fd = ::poll(&p, 1, 5000) == 1 ? ::accept(g_listenFd, nullptr, nullptr) : -1;
  if (fd < 0) return;
  ::send(fd, input.data(), input.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  char buf[4096];
  while (::recv(fd, buf, sizeof buf, 0) > 0) continue;
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cout.rdbuf(nullptr);  // the library's diagnostics go nowhere
  g_listenFd = listenLoopback(g_port);
  check(g_port != 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int descriptorsBefore = openDescriptors();
  g_callbacks = g_headers = 0;
  std::thread server(serve, std::string(reinterpret_cast<const char*>(data), size));
  {
    CRTSPDownload d;
    d.initInfo("127.0.0.1", g_port, "fuzz", 0, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(new Host);
    d.setRecvTimeoutCallbackFun([](void*) { ++g_callbacks; }, nullptr);
    CRTSPDownloadTestPeer{d}.setTimeouts(1, 1);
    const bool started = d.startRTSPDownload(false, false);
    check(started ? g_headers == 1 : g_callbacks == 1 && g_headers == 0);
    for (int ms = 0; started && size % 2 == 1 && g_callbacks == 0 && ms < 5000; ++ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    check(!started || size % 2 == 0 || g_callbacks == 1);  // the server has shut its side
    check(d.stop() && !d.isRunning() && g_callbacks <= 1);
  }
  server.join();
  check(openDescriptors() == descriptorsBefore);
  return 0;
}
