// The scale run: many camera sessions in one host process.
//
//   scale_host [--sessions 1000] [--seconds 60] [--bitrate 1000000]
//              [--packet 1400] [--frame-ms 40] [--warmup 3]
//              [--restarts 0] [--server PATH]
//
// Starts the load server (loopback_server --paced, beside this program, unless --server
// names another) as a child process, opens N sessions to it in this process
// with a receiver that checks every packet, lets them stream for the given
// time and measures this process only: CPU (user + sys from getrusage),
// resident memory, private memory (/proc/self/smaps_rollup), threads and
// descriptors, sampled every second. Then it stops the server's pacing,
// waits until every session has every packet the server sent it, stops the
// sessions and reports. The stream: per session `bitrate` bits per second in
// packets of `packet` bytes, one burst per `frame-ms` (a 25 fps camera by
// default), the bursts of different sessions spread over the interval.
// --restarts K first starts all N sessions, streams for a second, stops and
// destroys them, K times over, as a host whose cameras reconnect does: the
// memory figures then show what sessions cost that start after others have
// ended (memory freed by earlier sessions reused by later ones).
//
// Checked per session: every packet from the right connection, of the right
// length, with its index intact at both ends; RTP sequence numbers that
// follow on (a forward jump counts the packets lost, a step back one
// reordered); as many packets received as the server sent. The descriptor
// limit is raised to its hard maximum (each session holds one socket).
//
// Exit status 0 only when every session started, nothing was lost,
// reordered or damaged, and every sent packet arrived. The library's
// diagnostics are discarded; the report goes to stdout, one "key value"
// line per figure.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rtsppull/rtsppull.h>

#include "loopback_server.h"
#include "soak_util.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Memory {
  long rss = 0;
  long anonymous = 0;
  long privateDirty = 0;
  long threads = 0;
  int descriptors = 0;
  long virtualSize = 0;  // VmSize: address space reserved (thread stacks, buffers)
  long pageTables = 0;   // VmPTE: the kernel's page tables for this process

  static Memory now() {
    Memory m;
    m.rss = soak::rssKb();
    m.anonymous = soak::statusField("Anonymous", "/proc/self/smaps_rollup");
    m.privateDirty = soak::statusField("Private_Dirty", "/proc/self/smaps_rollup");
    m.threads = soak::threadCount();
    m.descriptors = soak::openDescriptors();
    m.virtualSize = soak::statusField("VmSize");
    m.pageTables = soak::statusField("VmPTE");
    return m;
  }
  void keepMax(const Memory& m) {
    rss = std::max(rss, m.rss);
    anonymous = std::max(anonymous, m.anonymous);
    privateDirty = std::max(privateDirty, m.privateDirty);
    threads = std::max(threads, m.threads);
    descriptors = std::max(descriptors, m.descriptors);
    virtualSize = std::max(virtualSize, m.virtualSize);
    pageTables = std::max(pageTables, m.pageTables);
  }
};

// The load server, a child process spoken to through two pipes.
class ServerProcess {
 public:
  bool start(const std::string& path, const std::vector<std::string>& args) {
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(toChild[0], 0);
      ::dup2(fromChild[1], 1);
      ::close(toChild[0]);
      ::close(toChild[1]);
      ::close(fromChild[0]);
      ::close(fromChild[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(path.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(path.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = ::fdopen(toChild[1], "w");
    out_ = ::fdopen(fromChild[0], "r");
    const std::string first = line();
    return std::sscanf(first.c_str(), "port %hu", &port_) == 1;
  }

  std::string line() {
    char buf[256];
    if (std::fgets(buf, sizeof buf, out_) == nullptr) return std::string();
    return buf;
  }

  void command(const char* text) {
    std::fprintf(in_, "%s\n", text);
    std::fflush(in_);
  }

  // The server's CPU time so far, in seconds.
  double cpuSeconds() {
    command("cpu");
    long long user = 0;
    long long sys = 0;
    std::sscanf(line().c_str(), "cpu user_us=%lld sys_us=%lld", &user, &sys);
    return static_cast<double>(user + sys) / 1e6;
  }

  // Ends the child: closes its input and waits up to 10 s, then kills it.
  void finish() {
    if (in_ != nullptr) std::fclose(in_);
    in_ = nullptr;
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
  std::uint16_t port_ = 0;
};

std::string besideThisProgram(const char* name) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

std::string argText(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return fallback;
}

double mib(long kb) { return static_cast<double>(kb) / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
  const long sessions = soak::argValue(argc, argv, "--sessions", 1000);
  const long seconds = soak::argValue(argc, argv, "--seconds", 60);
  const long bitrate = soak::argValue(argc, argv, "--bitrate", 1000000);
  const long packet = soak::argValue(argc, argv, "--packet", 1400);
  const long frameMs = soak::argValue(argc, argv, "--frame-ms", 40);
  const long warmup = soak::argValue(argc, argv, "--warmup", 3);
  const std::string serverPath = argText(argc, argv, "--server", "");
  if (sessions < 1 || seconds < 1 || packet < 32 || packet > 65535) {
    std::fprintf(stderr, "scale_host: bad arguments\n");
    return 2;
  }

  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  soak::DiscardCout quiet;
  const Memory before = Memory::now();

  ServerProcess server;
  if (!server.start(serverPath.empty() ? besideThisProgram("loopback_server") : serverPath,
                    {"--paced", "--bitrate", std::to_string(bitrate), "--packet",
                     std::to_string(packet), "--frame-ms", std::to_string(frameMs)})) {
    std::fprintf(stderr, "scale_host: the load server did not start\n");
    return 2;
  }

  std::vector<std::unique_ptr<soak::StreamCheck>> checks;
  std::vector<std::unique_ptr<CRTSPDownload>> downloads;
  soak::CallbackCounter callbacks;
  long started = 0;
  const auto startAll = [&]() {
    started = 0;
    for (long i = 0; i < sessions; ++i) {
      checks.emplace_back(new soak::StreamCheck);
      std::unique_ptr<CRTSPDownload> d(new CRTSPDownload);
      d->initInfo("127.0.0.1", server.port(), "scale", 0, ACE_Time_Value(5, 0), 0);
      d->registeRTPReceiver(
          new soak::CheckingReceiver(*checks.back(), static_cast<std::size_t>(packet)));
      d->setRecvTimeoutCallbackFun(&soak::CallbackCounter::callback, &callbacks);
      if (d->startRTSPDownload(true, true)) ++started;
      downloads.push_back(std::move(d));
    }
  };
  const long restarts = soak::argValue(argc, argv, "--restarts", 0);
  for (long r = 0; r < restarts; ++r) {
    startAll();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (auto& d : downloads) d->stop();
    downloads.clear();
    checks.clear();
  }
  const int callbacksBefore = callbacks.runs;
  const Clock::time_point startAt = Clock::now();
  startAll();
  const double startSeconds = soak::secondsSince(startAt);
  const auto received = [&]() {
    std::uint64_t total = 0;
    for (const auto& c : checks) total += c->received;
    return total;
  };

  std::this_thread::sleep_for(std::chrono::seconds(warmup));
  const Memory running = Memory::now();
  Memory peak = running;
  rusage usage0{};
  ::getrusage(RUSAGE_SELF, &usage0);
  const double cpu0 = soak::processCpuSeconds();
  const double serverCpu0 = server.cpuSeconds();
  const std::uint64_t received0 = received();
  const Clock::time_point window = Clock::now();
  for (long s = 0; s < seconds; ++s) {
    std::this_thread::sleep_until(window + std::chrono::seconds(s + 1));
    peak.keepMax(Memory::now());
  }
  const double windowSeconds = soak::secondsSince(window);
  const double cpu = soak::processCpuSeconds() - cpu0;
  const double serverCpu = server.cpuSeconds() - serverCpu0;
  const std::uint64_t receivedInWindow = received() - received0;
  rusage usage1{};
  ::getrusage(RUSAGE_SELF, &usage1);
  const int callbacksDuringStream = callbacks.runs - callbacksBefore;

  // Everything the server sent is on its way: wait (bounded) until it is in.
  server.command("stop");
  std::map<long, std::uint64_t> sentTo;
  std::uint64_t sent = 0;
  unsigned long long blocked = 0;
  for (;;) {
    const std::string line = server.line();
    long id = 0;
    unsigned long long count = 0;
    if (std::sscanf(line.c_str(), "sent %ld %llu", &id, &count) == 2) {
      sentTo[id] = count;
    } else {
      std::sscanf(line.c_str(), "stopped total=%*u blocked=%llu", &blocked);
      break;
    }
  }
  // The sessions of this run only (not those of the restarts).
  for (const auto& c : checks) {
    const auto it = sentTo.find(static_cast<long>(c->connection));
    if (it != sentTo.end()) sent += it->second;
  }
  const Clock::time_point drainAt = Clock::now();
  while (received() < sent && soak::secondsSince(drainAt) < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double drainSeconds = soak::secondsSince(drainAt);

  const soak::CheckTotals totals(checks, [&](std::int64_t connection) {
    const auto it = sentTo.find(static_cast<long>(connection));
    return it == sentTo.end() ? ~std::uint64_t{0} : it->second;
  });
  const std::uint64_t total = received();

  const Clock::time_point stopAt = Clock::now();
  for (auto& d : downloads) d->stop();
  const double stopSeconds = soak::secondsSince(stopAt);
  downloads.clear();
  server.finish();

  const double n = static_cast<double>(sessions);
  const double packetsPerSecond = static_cast<double>(receivedInWindow) / windowSeconds;
  std::printf("scale_host sessions=%ld seconds=%ld bitrate=%ld packet=%ld frame_ms=%ld\n", sessions,
              seconds, bitrate, packet, frameMs);
  totals.print(15, started, sessions, startSeconds, sent, total);
  std::printf("  rate           %.0f packets/s = %.1f Mbit/s over %.1f s (target %.0f packets/s)\n",
              packetsPerSecond, packetsPerSecond * static_cast<double>(packet) * 8 / 1e6,
              windowSeconds,
              n * static_cast<double>(bitrate) / (8.0 * static_cast<double>(packet)));
  std::printf(
      "  client cpu     %.1f %% of one core, %.2f us per packet; context switches "
      "%.0f/s voluntary, %.0f/s involuntary\n",
      cpu / windowSeconds * 100,
      receivedInWindow > 0 ? cpu / static_cast<double>(receivedInWindow) * 1e6 : 0.0,
      static_cast<double>(usage1.ru_nvcsw - usage0.ru_nvcsw) / windowSeconds,
      static_cast<double>(usage1.ru_nivcsw - usage0.ru_nivcsw) / windowSeconds);
  std::printf("  server cpu     %.1f %% of one core (separate process)\n",
              serverCpu / windowSeconds * 100);
  std::printf("  drain          %.3f s after the server stopped; server sends that blocked %llu\n",
              drainSeconds, blocked);
  std::printf(
      "  rss            before %.2f MiB, running %.2f MiB, peak %.2f MiB; "
      "per session %.1f KiB\n",
      mib(before.rss), mib(running.rss), mib(peak.rss),
      static_cast<double>(running.rss - before.rss) / n);
  std::printf(
      "  anonymous      before %.2f MiB, running %.2f MiB, peak %.2f MiB; "
      "per session %.1f KiB\n",
      mib(before.anonymous), mib(running.anonymous), mib(peak.anonymous),
      static_cast<double>(running.anonymous - before.anonymous) / n);
  std::printf("  private dirty  before %.2f MiB, running %.2f MiB; per session %.1f KiB\n",
              mib(before.privateDirty), mib(running.privateDirty),
              static_cast<double>(running.privateDirty - before.privateDirty) / n);
  std::printf(
      "  address space  before %.0f MiB, running %.0f MiB; page tables before %ld KiB, "
      "running %ld KiB (per session %.1f KiB)\n",
      mib(before.virtualSize), mib(running.virtualSize), before.pageTables, running.pageTables,
      static_cast<double>(running.pageTables - before.pageTables) / n);
  std::printf("  threads        before %ld, running %ld\n", before.threads, running.threads);
  std::printf("  descriptors    before %d, running %d (limit %llu)\n", before.descriptors,
              running.descriptors, static_cast<unsigned long long>(limit.rlim_cur));
  std::printf("  callbacks      during the stream %d\n", callbacksDuringStream);
  std::printf("  stop           all %ld sessions in %.3f s\n", sessions, stopSeconds);

  const bool ok = started == sessions && totals.headers == sessions && sent > 0 && total == sent &&
                  totals.clean() && callbacksDuringStream == 0;
  std::printf("  result         %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
