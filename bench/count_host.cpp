// A host on the library that only counts: the library's own cost per packet.
//
//   count_host HOST PORT PATH [--sessions K]
//
// Opens K sessions (default 1) to the same server, one after the other, with
// the pass-through receiver, counts the RTP packets each one delivers and
// checks that their sequence numbers follow on, and stops every session once
// the library has reported the end of its reception (the server closing the
// connection), or on SIGINT/SIGTERM (for servers that never close). The
// library's diagnostics go to stdout as usual; the result
// goes to stderr as one line:
//   count_host sessions=K packets=N rtcp=R gaps=G headers=H ok=0|1
// ok=1 when every session started, got its stream header and saw no gap.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rtsppull/rtsppull.h>

namespace {

class CountingReceiver : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    if (isFileHeader) {
      ++headers;
      return true;
    }
    if (length < 12) {
      ++gaps;
      return true;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    // RTCP on the second channel arrives through the same call; its packet
    // types 200-204 sit where RTP has the marker and payload type.
    if (p[1] >= 200 && p[1] <= 204) {
      ++rtcp;
      return true;
    }
    const auto seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
    if (packets > 0 && seq != static_cast<uint16_t>(lastSeq + 1)) ++gaps;
    lastSeq = seq;
    ++packets;
    return true;
  }

  uint64_t packets = 0;
  uint64_t rtcp = 0;
  uint64_t gaps = 0;
  uint64_t headers = 0;
  uint16_t lastSeq = 0;
};

struct Ended {
  std::mutex mutex;
  std::condition_variable cv;
  int count = 0;
};

std::atomic<bool> g_stop{false};

void onStop(int) { g_stop = true; }

void onEnd(void* arg) {
  auto* ended = static_cast<Ended*>(arg);
  std::lock_guard<std::mutex> lock(ended->mutex);
  ++ended->count;
  ended->cv.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 6 && std::string(argv[4]) == "--sessions")) {
    std::fprintf(stderr, "usage: count_host HOST PORT PATH [--sessions K]\n");
    return 2;
  }
  const int sessions = argc == 6 ? std::atoi(argv[5]) : 1;
  Ended ended;
  std::vector<std::unique_ptr<CRTSPDownload>> downloads;
  std::vector<CountingReceiver*> receivers;
  int started = 0;
  for (int i = 0; i < sessions; ++i) {
    auto download = std::make_unique<CRTSPDownload>();
    auto* receiver = new CountingReceiver;
    download->initInfo(argv[1], static_cast<unsigned int>(std::atoi(argv[2])), argv[3], 0,
                       ACE_Time_Value(5), 0);
    download->registeRTPReceiver(receiver);  // the session owns it from here
    download->setRecvTimeoutCallbackFun(onEnd, &ended);
    if (download->startRTSPDownload(true, true)) ++started;
    receivers.push_back(receiver);
    downloads.push_back(std::move(download));
  }
  {
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    std::unique_lock<std::mutex> lock(ended.mutex);
    while (!ended.cv.wait_for(lock, std::chrono::milliseconds(100), [&] {
      return ended.count >= started;
    }) && !g_stop) {
    }
  }
  CountingReceiver total;
  for (size_t i = 0; i < downloads.size(); ++i) {
    downloads[i]->stop();
    total.packets += receivers[i]->packets;
    total.rtcp += receivers[i]->rtcp;
    total.gaps += receivers[i]->gaps;
    total.headers += receivers[i]->headers;
  }
  const bool ok =
      started == sessions && total.gaps == 0 && total.headers == static_cast<uint64_t>(sessions);
  std::fprintf(
      stderr, "count_host sessions=%d packets=%llu rtcp=%llu gaps=%llu headers=%llu ok=%d\n",
      sessions, static_cast<unsigned long long>(total.packets),
      static_cast<unsigned long long>(total.rtcp), static_cast<unsigned long long>(total.gaps),
      static_cast<unsigned long long>(total.headers), ok ? 1 : 0);
  return ok ? 0 : 1;
}
