// A host on the library that only counts: the library's own cost per packet.
//
//   count_host HOST PORT PATH [--sessions K] [--transport tcp|udp] [--idle-ms MS]
//              [--recv-buffer BYTES] [--recommended yes] [--tracks video|audio]
//              [--tls yes]
//
// Opens K sessions (default 1) to the same server, one after the other, with
// the pass-through receiver, counts the RTP packets each one delivers and
// checks that their sequence numbers follow on, and stops every session once
// the library has reported the end of its reception (the server closing the
// connection), or on SIGINT/SIGTERM (for servers that never close), or,
// with --idle-ms, once packets have come and then none for that long (over
// UDP the end of the stream is not the end of a connection). --transport
// udp sets that transport in the session's options, --recv-buffer sets
// receiveBufferBytes, --tls yes runs over TLS (any certificate accepted),
// --recommended yes starts from
// RTSPSessionOptions::recommended() (everything else stays at its default:
// without these options the session runs with default options), --tracks
// sets RTSPSessionOptions::tracks (audio: video and audio; the receiver then
// takes packets by track, counting the video track's as above and the audio
// track's apart). The library's diagnostics go to stdout as usual; the result
// goes to stderr as one line:
//   count_host sessions=K packets=N rtcp=R gaps=G lost=L headers=H audio=A ok=0|1
// ok=1 when every session started, got its stream header and saw no gap;
// lost counts the packets missing at the gaps (forward jumps of the
// sequence number).
#include <algorithm>
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

class CountingReceiver : public IRTPReceiver, public IRTPTrackReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    if (isFileHeader) {
      ++headers;
      return true;
    }
    return count(data, length);
  }
  bool OnTrackData(int track, const char* data, unsigned int length, bool isRtcp) override {
    if (track == 0) return isRtcp ? (++rtcp, true) : count(data, length);
    ++audio;
    return true;
  }

  bool count(const char* data, unsigned int length) {
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
    if (packets > 0 && seq != static_cast<uint16_t>(lastSeq + 1)) {
      ++gaps;
      const auto step = static_cast<uint16_t>(seq - lastSeq);
      if (step < 0x8000) lost += step - 1u;
    }
    lastSeq = seq;
    // One writer (the receive thread); the main thread only reads it.
    packets.store(packets.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
  }

  std::atomic<uint64_t> packets{0};
  uint64_t rtcp = 0;
  uint64_t gaps = 0;
  uint64_t lost = 0;
  uint64_t headers = 0;
  uint64_t audio = 0;
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
  int sessions = 1;
  bool udp = false;
  long idleMs = 0;
  int recvBuffer = -1;
  bool recommended = false;
  int tracks = -1;
  bool tls = false;
  for (int i = 4; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--sessions") {
      sessions = std::atoi(argv[i + 1]);
    } else if (arg == "--transport") {
      udp = std::string(argv[i + 1]) == "udp";
    } else if (arg == "--recommended") {
      recommended = std::string(argv[i + 1]) == "yes";
    } else if (arg == "--tls") {
      tls = std::string(argv[i + 1]) == "yes";
    } else if (arg == "--recv-buffer") {
      recvBuffer = std::atoi(argv[i + 1]);
    } else if (arg == "--tracks") {
      tracks = std::string(argv[i + 1]) == "audio" ? RTSP_TRACKS_VIDEO_AUDIO : RTSP_TRACKS_VIDEO;
    } else if (arg == "--idle-ms") {
      idleMs = std::atol(argv[i + 1]);
    } else {
      argc = 0;
    }
  }
  if (argc < 4 || argc % 2 != 0 || sessions < 1 || recvBuffer < -1) {
    std::fprintf(stderr,
                 "usage: count_host HOST PORT PATH [--sessions K] [--transport tcp|udp] "
                 "[--idle-ms MS] [--recv-buffer BYTES] [--recommended yes] "
                 "[--tracks video|audio] [--tls yes]\n");
    return 2;
  }
  Ended ended;
  std::vector<std::unique_ptr<CRTSPDownload>> downloads;
  std::vector<CountingReceiver*> receivers;
  int started = 0;
  for (int i = 0; i < sessions; ++i) {
    auto download = std::make_unique<CRTSPDownload>();
    auto* receiver = new CountingReceiver;
    download->initInfo(argv[1], static_cast<unsigned int>(std::atoi(argv[2])), argv[3], 0,
                       ACE_Time_Value(5), 0);
    if (udp || recvBuffer >= 0 || recommended || tracks >= 0 || tls) {
      RTSPSessionOptions options =
          recommended ? RTSPSessionOptions::recommended() : RTSPSessionOptions();
      if (udp) options.transport = RTSP_TRANSPORT_UDP;
      if (recvBuffer >= 0) options.receiveBufferBytes = recvBuffer;
      if (tracks >= 0) options.tracks = static_cast<RTSP_TRACKS>(tracks);
      // The server's certificate is not checked: it is the bench's own.
      options.tls = tls;
      options.tlsCheck = RTSP_TLS_CHECK_NONE;
      download->setOptions(options);
    }
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
    uint64_t seen = 0;
    auto quietSince = std::chrono::steady_clock::now();
    // Looks at the counts twice per --idle-ms, so that the host's own
    // wake-ups stay out of the library's figures over UDP.
    const auto tick = std::chrono::milliseconds(std::max(100L, idleMs / 2));
    while (!ended.cv.wait_for(lock, tick, [&] { return ended.count >= started; }) && !g_stop) {
      if (idleMs <= 0) continue;
      uint64_t now = 0;
      for (const CountingReceiver* r : receivers) now += r->packets;
      if (now != seen) {
        seen = now;
        quietSince = std::chrono::steady_clock::now();
      } else if (seen > 0 && std::chrono::steady_clock::now() - quietSince >
                                 std::chrono::milliseconds(idleMs)) {
        break;
      }
    }
  }
  CountingReceiver total;
  for (size_t i = 0; i < downloads.size(); ++i) {
    downloads[i]->stop();
    total.packets += receivers[i]->packets;
    total.rtcp += receivers[i]->rtcp;
    total.gaps += receivers[i]->gaps;
    total.lost += receivers[i]->lost;
    total.headers += receivers[i]->headers;
    total.audio += receivers[i]->audio;
  }
  const bool ok =
      started == sessions && total.gaps == 0 && total.headers == static_cast<uint64_t>(sessions);
  std::fprintf(
      stderr,
      "count_host sessions=%d packets=%llu rtcp=%llu gaps=%llu lost=%llu headers=%llu audio=%llu "
      "ok=%d\n",
      sessions, static_cast<unsigned long long>(total.packets),
      static_cast<unsigned long long>(total.rtcp), static_cast<unsigned long long>(total.gaps),
      static_cast<unsigned long long>(total.lost), static_cast<unsigned long long>(total.headers),
      static_cast<unsigned long long>(total.audio), ok ? 1 : 0);
  return ok ? 0 : 1;
}
