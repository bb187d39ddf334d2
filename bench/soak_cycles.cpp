// Soak: many start/stop cycles against an in-process loopback server, with
// resident memory, descriptors and threads sampled along the way.
//
//   soak_cycles [--cycles 10000] [--fresh] [--every 1000]
//
// Each cycle starts a session (the whole handshake), waits until its receive
// thread has delivered the one frame the server sends after PLAY, and stops
// it (TEARDOWN, close, join). By default one session object runs every
// cycle, the way a recorder restarts a camera; with --fresh each cycle
// constructs and destroys its own session object. Exit status 0 only when
// every cycle started and delivered, and the descriptors at the end equal
// those at the start.
//
// The library's diagnostics are discarded; the report goes to stdout.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include <malloc.h>

#include <rtsppull/rtsppull.h>

#include "loopback_server.h"
#include "soak_util.h"

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<CRTSPDownload> makeSession(unsigned port, std::atomic<long>& packets,
                                           soak::CallbackCounter& callbacks) {
  std::unique_ptr<CRTSPDownload> d(new CRTSPDownload);
  d->initInfo("127.0.0.1", port, "soak", 0, ACE_Time_Value(5, 0), 0);
  d->registeRTPReceiver(new soak::CountingReceiver(packets));
  d->setRecvTimeoutCallbackFun(&soak::CallbackCounter::callback, &callbacks);
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  const long cycles = soak::argValue(argc, argv, "--cycles", 10000);
  const long every = soak::argValue(argc, argv, "--every", 1000);
  const bool fresh = soak::hasFlag(argc, argv, "--fresh");

  soak::DiscardCout quiet;

  const long rssStart = soak::rssKb();
  const int fdsStart = soak::openDescriptors();
  const long threadsStart = soak::threadCount();

  loopback::ServerOptions options;
  options.framesAfterPlay = 1;
  std::unique_ptr<loopback::LoopbackServer> server(new loopback::LoopbackServer(options));
  const unsigned port = server->port();

  std::atomic<long> packets{0};
  soak::CallbackCounter callbacks;
  std::unique_ptr<CRTSPDownload> reused;
  if (!fresh) reused = makeSession(port, packets, callbacks);

  std::printf("soak_cycles cycles=%ld objects=%s\n", cycles,
              fresh ? "one per cycle" : "one for all cycles");
  std::printf("  %8s %10s %6s %8s %8s\n", "cycles", "rss kB", "fds", "threads", "s");
  std::printf("  %8d %10ld %6d %8ld %8.1f   (before the server)\n", 0, rssStart, fdsStart,
              threadsStart, 0.0);

  long failedStarts = 0;
  long undelivered = 0;
  long rssAfterFirst = 0;
  int fdsAfterFirst = 0;
  const Clock::time_point begin = Clock::now();
  for (long i = 1; i <= cycles; ++i) {
    std::unique_ptr<CRTSPDownload> own;
    if (fresh) own = makeSession(port, packets, callbacks);
    CRTSPDownload& d = fresh ? *own : *reused;
    const long before = packets;
    if (!d.startRTSPDownload(true, false)) {
      ++failedStarts;
    } else {
      const Clock::time_point wait = Clock::now();
      while (packets == before && soak::secondsSince(wait) < 5) std::this_thread::yield();
      if (packets == before) ++undelivered;
    }
    d.stop();
    own.reset();
    if (i == 100) {
      rssAfterFirst = soak::rssKb();
      fdsAfterFirst = soak::openDescriptors();
    }
    if (i % every == 0 || i == 100) {
      std::printf("  %8ld %10ld %6d %8ld %8.1f\n", i, soak::rssKb(), soak::openDescriptors(),
                  soak::threadCount(), soak::secondsSince(begin));
      std::fflush(stdout);
    }
  }
  const double seconds = soak::secondsSince(begin);
  reused.reset();

  // The server closes each connection once it has seen its client close.
  const Clock::time_point closeAt = Clock::now();
  while (server->connectionsOpen() > 0 && soak::secondsSince(closeAt) < 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const long rssEnd = soak::rssKb();
  ::malloc_trim(0);
  const long rssTrimmed = soak::rssKb();
  const int fdsEndWithServer = soak::openDescriptors();
  const std::size_t accepted = server->connectionsAccepted();
  server.reset();
  const int fdsEnd = soak::openDescriptors();

  std::printf("  cycles             %ld in %.1f s (%.2f ms per cycle), server accepted %zu\n",
              cycles, seconds, seconds * 1000 / static_cast<double>(cycles), accepted);
  std::printf("  failures           starts %ld, cycles without delivery %ld, callbacks %d\n",
              failedStarts, undelivered, static_cast<int>(callbacks.runs));
  std::printf(
      "  rss                after 100 cycles %ld kB, at the end %ld kB (%+ld kB), "
      "after malloc_trim %ld kB\n",
      rssAfterFirst, rssEnd, rssEnd - rssAfterFirst, rssTrimmed);
  std::printf(
      "  descriptors        start %d, after 100 cycles %d, end with server %d, "
      "end %d\n",
      fdsStart, fdsAfterFirst, fdsEndWithServer, fdsEnd);
  const bool ok = failedStarts == 0 && undelivered == 0 && fdsEnd == fdsStart;
  std::printf("  result             %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
