// The time stop() takes while the receive thread is blocked in a read.
//
//   stop_latency [--stops 1000] [--udp]
//
// Each round starts a fresh session against an in-process loopback server
// that sends one frame after PLAY and then nothing; once the receiver has
// had that frame, the receive thread is back in its blocking read (a further
// 2 ms make sure of it), and stop() is timed: TEARDOWN, shutting the
// connection down (which must wake the read at once), joining the thread,
// closing. With --udp the session receives over UDP and the frame comes as a
// datagram: the thread then waits on the control connection alone while its
// media sockets rest. Reports the median, 90th and 99th percentile and the maximum.
// Exit status 0 when every round started and every stop returned.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <rtsppull/rtsppull.h>

#include "loopback_server.h"
#include "soak_util.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const long stops = soak::argValue(argc, argv, "--stops", 1000);
  const bool udp = soak::hasFlag(argc, argv, "--udp");

  soak::DiscardCout quiet;

  loopback::ServerOptions options;
  options.framesAfterPlay = 1;
  loopback::LoopbackServer server(options);

  std::vector<double> micros;
  long failedStarts = 0;
  long undelivered = 0;
  soak::CallbackCounter callbacks;
  for (long i = 0; i < stops; ++i) {
    std::atomic<long> packets{0};
    CRTSPDownload d;
    d.initInfo("127.0.0.1", server.port(), "soak", 0, ACE_Time_Value(5, 0), 0);
    d.registeRTPReceiver(new soak::CountingReceiver(packets));
    if (udp) {
      RTSPSessionOptions sessionOptions;
      sessionOptions.transport = RTSP_TRANSPORT_UDP;
      d.setOptions(sessionOptions);
    }
    d.setRecvTimeoutCallbackFun(&soak::CallbackCounter::callback, &callbacks);
    if (!d.startRTSPDownload(true, false)) {
      ++failedStarts;
      continue;
    }
    const Clock::time_point wait = Clock::now();
    while (packets == 0 && soak::secondsSince(wait) < 5) std::this_thread::yield();
    if (packets == 0) ++undelivered;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const Clock::time_point stopAt = Clock::now();
    d.stop();
    micros.push_back(soak::secondsSince(stopAt) * 1e6);
  }

  std::sort(micros.begin(), micros.end());
  double sum = 0;
  for (const double m : micros) sum += m;
  std::printf("stop_latency stops=%zu transport=%s (receive thread blocked in its wait)\n",
              micros.size(), udp ? "udp" : "tcp");
  std::printf("  median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us, mean %.0f us\n",
              percentile(micros, 0.5), percentile(micros, 0.9), percentile(micros, 0.99),
              micros.empty() ? 0 : micros.back(),
              micros.empty() ? 0 : sum / static_cast<double>(micros.size()));
  std::printf(
      "  failed starts %ld, rounds without delivery %ld, callbacks %d "
      "(one per stopped session: the woken read ends the thread)\n",
      failedStarts, undelivered, static_cast<int>(callbacks.runs));
  const bool ok = failedStarts == 0 && undelivered == 0 && micros.size() == std::size_t(stops);
  std::printf("  result %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
