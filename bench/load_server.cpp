// The loopback load server of the scale run, in a process of its own, so
// that the client process's CPU time and memory are the library's alone.
//
//   load_server [--bitrate 1000000] [--packet 1400] [--frame-ms 40]
//               [--max-seconds 900]
//
// Serves any number of sessions on 127.0.0.1 (ephemeral port) with the
// streaming soak server (soak_server.h): each connection gets its paced
// stream of checkable RTP packets from its PLAY on, one burst per frame
// interval. Prints "port N" on stdout, then obeys one command per line on
// stdin:
//   cpu   -> "cpu user_us=U sys_us=S"  (the whole server process so far)
//   stop  -> stops pacing; "sent ID N" for every connection (ID as carried in
//            the packets), then "stopped total=T blocked=B"
// End of input (or --max-seconds, so that it never outlives a driver that
// died) closes every connection and exits.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "soak_server.h"

namespace {

long argValue(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void cpuLine() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  std::printf("cpu user_us=%lld sys_us=%lld\n",
              static_cast<long long>(u.ru_utime.tv_sec) * 1000000 + u.ru_utime.tv_usec,
              static_cast<long long>(u.ru_stime.tv_sec) * 1000000 + u.ru_stime.tv_usec);
  std::fflush(stdout);
}

void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  raiseDescriptorLimit();
  soak::ServerOptions options;
  options.stream = true;
  options.bitsPerSecond = static_cast<double>(argValue(argc, argv, "--bitrate", 1000000));
  options.packetSize = static_cast<std::size_t>(argValue(argc, argv, "--packet", 1400));
  options.frameMs = static_cast<int>(argValue(argc, argv, "--frame-ms", 40));
  const long maxSeconds = argValue(argc, argv, "--max-seconds", 900);

  std::unique_ptr<soak::LoopbackServer> server(new soak::LoopbackServer(options));
  std::printf("port %u\n", static_cast<unsigned>(server->port()));
  std::fflush(stdout);

  const auto startAt = std::chrono::steady_clock::now();
  std::string pending;
  char buf[256];
  for (;;) {
    const double left = static_cast<double>(maxSeconds) - secondsSince(startAt);
    if (left <= 0) break;
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left < 1 ? 1000 * left + 1 : 1000)) <= 0) continue;
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    std::string::size_type end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (command == "cpu") {
        cpuLine();
      } else if (command == "stop") {
        server->stopPacing();
        unsigned long long total = 0;
        const std::size_t accepted = server->connectionsAccepted();
        for (std::size_t id = 0; id < accepted; ++id) {
          const unsigned long long sent = server->sent(id);
          total += sent;
          std::printf("sent %zu %llu\n", id, sent);
        }
        std::printf("stopped total=%llu blocked=%llu\n", total,
                    static_cast<unsigned long long>(server->blockedSends()));
        std::fflush(stdout);
      }
    }
  }
  server.reset();
  return 0;
}
