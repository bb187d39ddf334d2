// Load: many concurrent sessions in one process against an in-process
// loopback server that paces a realistic stream to each of them.
//
//   soak_concurrent [--sessions 200] [--seconds 60] [--bitrate 2000000]
//                   [--packet 1400]
//
// Starts every session (one after the other), streams for the given time,
// stops the pacer, waits until every session has received everything that
// was sent, then stops and destroys the sessions. Checks every packet: the
// right length, from the right connection, the next index (none lost, none
// out of order), index repeated intact at its end. Reports CPU (whole
// process, and the clients' share without the server threads), resident
// memory per session, threads and descriptors. Exit status 0 only when every
// packet arrived, in order, and no session ended before stop().
//
// The library's diagnostics (requests and reply lines on std::cout) are
// discarded; the report goes to stdout through C stdio.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <malloc.h>

#include <rtsppull/rtsppull.h>

#include "loopback_server.h"
#include "soak_util.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  const long sessions = soak::argValue(argc, argv, "--sessions", 200);
  const long seconds = soak::argValue(argc, argv, "--seconds", 60);
  const long bitrate = soak::argValue(argc, argv, "--bitrate", 2000000);
  const long packet = soak::argValue(argc, argv, "--packet", 1400);

  soak::DiscardCout quiet;

  const long rssStart = soak::rssKb();
  const int fdsStart = soak::openDescriptors();
  const long threadsStart = soak::threadCount();

  loopback::ServerOptions options;
  options.stream = true;
  options.bitsPerSecond = static_cast<double>(bitrate);
  options.packetSize = static_cast<std::size_t>(packet);
  std::unique_ptr<loopback::LoopbackServer> server(new loopback::LoopbackServer(options));

  std::vector<std::unique_ptr<soak::StreamCheck>> checks;
  std::vector<std::unique_ptr<CRTSPDownload>> downloads;
  soak::CallbackCounter callbacks;
  const long rssServer = soak::rssKb();

  const Clock::time_point startAt = Clock::now();
  long started = 0;
  for (long i = 0; i < sessions; ++i) {
    checks.emplace_back(new soak::StreamCheck);
    std::unique_ptr<CRTSPDownload> d(new CRTSPDownload);
    d->initInfo("127.0.0.1", server->port(), "soak", 0, ACE_Time_Value(5, 0), 0);
    d->registeRTPReceiver(new soak::CheckingReceiver(*checks.back(), options.packetSize));
    d->setRecvTimeoutCallbackFun(&soak::CallbackCounter::callback, &callbacks);
    if (d->startRTSPDownload(true, false)) ++started;
    downloads.push_back(std::move(d));
  }
  const double startSeconds = soak::secondsSince(startAt);

  // Steady state: sample once the last session has been streaming a while.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long rssRunning = soak::rssKb();
  const long threadsRunning = soak::threadCount();
  const int fdsRunning = soak::openDescriptors();
  const double cpu0 = soak::processCpuSeconds();
  const double serverCpu0 = server->cpuSeconds();
  const auto totalSent = [&]() {
    std::uint64_t total = 0;
    for (long i = 0; i < sessions; ++i) total += server->sent(static_cast<std::size_t>(i));
    return total;
  };
  const std::uint64_t sent0 = totalSent();
  const Clock::time_point window = Clock::now();
  long rssMax = rssRunning;
  for (long s = 0; s < seconds; ++s) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss = soak::rssKb();
    if (rss > rssMax) rssMax = rss;
  }
  const double windowSeconds = soak::secondsSince(window);
  const double cpu = soak::processCpuSeconds() - cpu0;
  const double serverCpu = server->cpuSeconds() - serverCpu0;
  const std::uint64_t sentInWindow = totalSent() - sent0;
  const long rssEndOfStream = soak::rssKb();
  const int callbacksDuringStream = callbacks.runs;

  server->stopPacing();
  const std::uint64_t sent = totalSent();
  // Everything sent is in flight on loopback: wait (bounded) until it is in.
  const Clock::time_point drainAt = Clock::now();
  std::uint64_t received = 0;
  while (soak::secondsSince(drainAt) < 20) {
    received = 0;
    for (const auto& c : checks) received += c->received;
    if (received >= sent) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  const soak::CheckTotals totals(checks, [&](std::int64_t connection) {
    return server->sent(static_cast<std::size_t>(connection));
  });

  const Clock::time_point stopAt = Clock::now();
  for (auto& d : downloads) d->stop();
  const double stopSeconds = soak::secondsSince(stopAt);
  const int callbacksAfterStop = callbacks.runs;
  downloads.clear();
  const long rssAfterSessions = soak::rssKb();
  // What the allocator keeps for reuse, as opposed to what is still in use.
  ::malloc_trim(0);
  const long rssTrimmed = soak::rssKb();
  const long threadsAfter = soak::threadCount();
  // The server closes its side once it has seen each client close.
  const Clock::time_point closeAt = Clock::now();
  while (server->connectionsOpen() > 0 && soak::secondsSince(closeAt) < 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::uint64_t blocked = server->blockedSends();
  server.reset();
  const int fdsEnd = soak::openDescriptors();

  const double cores = windowSeconds > 0 ? 100.0 / windowSeconds : 0;
  const double perSessionMb =
      static_cast<double>(rssRunning - rssServer) / 1024.0 / static_cast<double>(sessions);
  std::printf("soak_concurrent sessions=%ld seconds=%ld bitrate=%ld packet=%ld\n", sessions,
              seconds, bitrate, packet);
  totals.print(19, started, sessions, startSeconds, sent, received);
  const double rate = static_cast<double>(sentInWindow) / windowSeconds;
  std::printf(
      "  rate               %.0f packets/s = %.1f Mbit/s in total over %.1f s "
      "(target %.0f packets/s)\n",
      rate, rate * static_cast<double>(packet) * 8 / 1e6, windowSeconds,
      static_cast<double>(sessions) * static_cast<double>(bitrate) /
          (8.0 * static_cast<double>(packet)));
  std::printf(
      "  cpu                process %.1f %% of one core; server threads %.1f %%; "
      "clients %.1f %%\n",
      cpu * cores, serverCpu * cores, (cpu - serverCpu) * cores);
  std::printf("  pacer slots in which a client socket was full: %llu\n",
              static_cast<unsigned long long>(blocked));
  std::printf(
      "  rss                start %ld kB, server up %ld kB, sessions running %ld kB "
      "(%.2f MB per session), max %ld kB, end of stream %ld kB, sessions gone %ld kB, "
      "after malloc_trim %ld kB\n",
      rssStart, rssServer, rssRunning, perSessionMb, rssMax, rssEndOfStream, rssAfterSessions,
      rssTrimmed);
  std::printf("  threads            start %ld, running %ld, after stop %ld\n", threadsStart,
              threadsRunning, threadsAfter);
  std::printf("  descriptors        start %d, running %d, end %d\n", fdsStart, fdsRunning, fdsEnd);
  std::printf("  callbacks          during the stream %d, after stopping all %d\n",
              callbacksDuringStream, callbacksAfterStop);
  std::printf("  stop               all %ld sessions in %.3f s\n", sessions, stopSeconds);

  const bool ok = started == sessions && sent > 0 && received == sent && totals.clean() &&
                  callbacksDuringStream == 0 && fdsEnd == fdsStart;
  std::printf("  result             %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
