// rtsp-pull: pulls the H.264 video of an RTSP server and writes it as an
// Annex B byte stream. Built on the public rtsppull API only.
//
// Threads: the main thread parses options, runs the handshake inside
// startRTSPDownload, then waits for a reason to stop and calls stop(). The
// library's receive thread delivers packets to PullReceiver, which
// depacketizes and writes them. A signal thread turns SIGINT and SIGTERM
// into a stop request; the signals are blocked in every other thread.
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <rtsppull/rtsppull.h>

#include "annexb_writer.h"
#include "diagnosis.h"
#include "h264_depacketizer.h"
#include "library_output.h"
#include "rtpdump_writer.h"
#include "url.h"

namespace rtsp_pull {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitEnded = 3;

const char kUsage[] =
    "Usage: rtsp-pull [OPTIONS] rtsp://HOST[:PORT]/PATH\n"
    "\n"
    "Pulls the H.264 video of an RTSP server (RTP interleaved on the RTSP TCP\n"
    "connection) and writes it as an H.264 Annex B byte stream.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE        write the H.264 stream to FILE ('-': standard output)\n"
    "      --rtpdump FILE       also write every RTP packet received to FILE\n"
    "                           (rtpdump format, for rtptools or Wireshark)\n"
    "  -t, --seconds N          stop after N seconds (decimals allowed)\n"
    "  -n, --frames N           stop after N frames have been written\n"
    "      --connect-timeout N  seconds allowed for the TCP connect (default 5)\n"
    "      --no-keyframe-wait   write from the first packet on, not from the first\n"
    "                           IDR picture\n"
    "  -q, --quiet              no progress line and no summary\n"
    "  -v, --verbose            show the RTSP exchange (requests, replies, SDP) on\n"
    "                           standard error\n"
    "  -h, --help               show this help and exit\n"
    "      --version            show the version and exit\n"
    "\n"
    "The host is an IPv4 address or a host name; the port defaults to 554. Without\n"
    "-t or -n the pull runs until Ctrl-C or SIGTERM, which end it with a TEARDOWN.\n"
    "Without -o the stream is received and counted but not written. The output\n"
    "starts with the SPS and PPS announced in the session description.\n"
    "\n"
    "Exit status: 0 stopped as asked; 1 the stream could not be started or the\n"
    "output could not be written; 2 bad URL or options; 3 the stream ended on its\n"
    "own (server closed, 20 s without data, bad data) before -t or -n was reached,\n"
    "or at all when neither was given.\n";

struct Options {
  std::string url;
  std::string output;
  std::string rtpdump;
  double seconds = 0;
  uint64_t frames = 0;
  double connectTimeout = 5;
  bool waitForKeyframe = true;
  bool quiet = false;
  bool verbose = false;
};

int usageError(const std::string& message) {
  std::fprintf(stderr,
               "rtsp-pull: %s\n"
               "Usage: rtsp-pull [OPTIONS] rtsp://HOST[:PORT]/PATH (--help lists the options)\n",
               message.c_str());
  return kExitUsage;
}

bool parseNumber(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && value > 0 && value < 1e9;
}

// Returns -1 when the options are good, otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options) {
  enum { kRtpdump = 256, kConnectTimeout, kNoKeyframeWait, kVersion };
  static const option kLong[] = {
      {"output", required_argument, nullptr, 'o'},
      {"rtpdump", required_argument, nullptr, kRtpdump},
      {"seconds", required_argument, nullptr, 't'},
      {"frames", required_argument, nullptr, 'n'},
      {"connect-timeout", required_argument, nullptr, kConnectTimeout},
      {"no-keyframe-wait", no_argument, nullptr, kNoKeyframeWait},
      {"quiet", no_argument, nullptr, 'q'},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c;
  double number = 0;
  while ((c = getopt_long(argc, argv, ":o:t:n:qvh", kLong, nullptr)) != -1) {
    switch (c) {
      case 'o':
        options.output = optarg;
        break;
      case kRtpdump:
        options.rtpdump = optarg;
        break;
      case 't':
        if (!parseNumber(optarg, options.seconds))
          return usageError("--seconds wants a positive number");
        break;
      case 'n':
        if (!parseNumber(optarg, number) ||
            number != static_cast<double>(static_cast<uint64_t>(number)))
          return usageError("--frames wants a positive whole number");
        options.frames = static_cast<uint64_t>(number);
        break;
      case kConnectTimeout:
        if (!parseNumber(optarg, options.connectTimeout))
          return usageError("--connect-timeout wants a positive number");
        break;
      case kNoKeyframeWait:
        options.waitForKeyframe = false;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'v':
        options.verbose = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitOk;
      case kVersion:
        std::printf("rtsp-pull %d.%d.%d\n", RTSPPULL_VERSION_MAJOR, RTSPPULL_VERSION_MINOR,
                    RTSPPULL_VERSION_PATCH);
        return kExitOk;
      case ':':
        return usageError(std::string("option ") + argv[optind - 1] + " needs a value");
      default:
        return usageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind >= argc) return usageError("no URL given");
  if (optind + 1 < argc) return usageError("more than one URL given");
  options.url = argv[optind];
  return -1;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint32_t resolveIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  uint32_t address = 0;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
  }
  return address;
}

// What the main thread waits for; written by the receive thread, the
// library's callback and the signal thread.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopRequested = false;  // SIGINT or SIGTERM
  bool ended = false;          // the library reported the end of reception
  bool frameLimit = false;     // --frames reached
  bool writeFailed = false;

  void set(bool Events::*flag) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      this->*flag = true;
    }
    changed.notify_all();
  }
};

struct Stats {
  double elapsed = 0;
  uint64_t packets = 0;
  uint64_t rtcp = 0;
  uint64_t bytes = 0;
  uint64_t frames = 0;
  uint64_t lost = 0;
};

// Everything done with the received data. The header call comes on the main
// thread inside startRTSPDownload, the packets on the receive thread; the
// main thread reads the counters while packets arrive, hence the mutex.
class Pull {
 public:
  Pull(const Options& options, int outputFd, Events& events)
      : options_(options),
        outputFd_(outputFd),
        events_(events),
        writer_(outputFd >= 0 ? AnnexBWriter::Output([this](const char* data, size_t size) {
                  if (writeAll(outputFd_, data, size)) return true;
                  writeErrno_ = errno;
                  return false;
                })
                              : AnnexBWriter::Output(),
                options.waitForKeyframe, options.frames),
        depacketizer_(writer_) {}

  bool openRtpdump(const RtspUrl& url, std::string& error) {
    if (options_.rtpdump.empty()) return true;
    return rtpdump_.open(options_.rtpdump, resolveIpv4(url.host), static_cast<uint16_t>(url.port),
                         error);
  }

  bool onHeader(SDP* sdp) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sdp == nullptr) return true;
    bool h264 = false;
    for (const std::string& line : sdp->lines) {
      if (line.find("a=rtpmap:") != std::string::npos && line.find("H264/") != std::string::npos)
        h264 = true;
    }
    if (!h264)
      std::fprintf(stderr,
                   "rtsp-pull: warning: the session description announces no H.264 "
                   "stream; the output may not be usable\n");
    std::string sps, pps;
    if (sdp->fetch_sps_pps(sps, pps) == 0) {
      for (const std::string& line : sdp->lines) {
        const size_t size = announcedPpsSize(line);
        if (size == std::string::npos) continue;
        if (size < pps.size()) pps.resize(size);
        break;
      }
      writer_.writeParameterSets(sps, pps);
    } else if (!options_.quiet) {
      std::fprintf(stderr,
                   "rtsp-pull: note: no sprop-parameter-sets in the session "
                   "description; relying on SPS and PPS inside the stream\n");
    }
    return checkWrite();
  }

  bool onPacket(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isRtcp(data, size)) {
      ++rtcp_;
      return true;
    }
    ++packets_;
    bytes_ += size;
    if (rtpdump_.isOpen() && !rtpdump_.write(data, size, false) && !rtpdumpFailed_) {
      rtpdumpFailed_ = true;
      std::fprintf(stderr, "rtsp-pull: writing %s failed: %s\n", options_.rtpdump.c_str(),
                   std::strerror(errno));
    }
    depacketizer_.push(data, size);
    if (writer_.limitReached() && !limitSignalled_) {
      limitSignalled_ = true;
      writer_.flush();
      events_.set(&Events::frameLimit);
    }
    return checkWrite();
  }

  // Called after the receive thread has been joined.
  bool finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    writer_.flush();
    const bool rtpdumpOk = rtpdump_.close() && !rtpdumpFailed_;
    return !writer_.failed() && rtpdumpOk;
  }

  Stats stats(double elapsed) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stats s;
    s.elapsed = elapsed;
    s.packets = packets_;
    s.rtcp = rtcp_;
    s.bytes = bytes_;
    s.frames = writer_.frames();
    s.lost = depacketizer_.counters().lost;
    return s;
  }

 private:
  bool checkWrite() {
    if (!writer_.failed()) return true;
    if (!writeErrorReported_) {
      writeErrorReported_ = true;
      std::fprintf(stderr, "rtsp-pull: writing the output failed: %s\n",
                   std::strerror(writeErrno_));
      events_.set(&Events::writeFailed);
    }
    // A refusal makes the library end reception.
    return false;
  }

  const Options& options_;
  int outputFd_;
  int writeErrno_ = 0;
  Events& events_;
  std::mutex mutex_;
  AnnexBWriter writer_;
  H264Depacketizer depacketizer_;
  RtpdumpWriter rtpdump_;
  uint64_t packets_ = 0;
  uint64_t rtcp_ = 0;
  uint64_t bytes_ = 0;
  bool limitSignalled_ = false;
  bool rtpdumpFailed_ = false;
  bool writeErrorReported_ = false;
};

class PullReceiver : public IRTPReceiver {
 public:
  explicit PullReceiver(Pull& pull) : pull_(pull) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    if (isFileHeader) return pull_.onHeader(sdp);
    return pull_.onPacket(reinterpret_cast<const uint8_t*>(data), length);
  }

 private:
  Pull& pull_;
};

void onReceptionEnded(void* arg) { static_cast<Events*>(arg)->set(&Events::ended); }

std::string formatStats(const Stats& s) {
  const double kbits = s.elapsed > 0 ? static_cast<double>(s.bytes) * 8 / 1000 / s.elapsed : 0;
  char text[200];
  std::snprintf(
      text, sizeof text, "%.1f s, %llu packets, %.1f KiB, %.0f kbit/s, %llu frames, %llu lost",
      s.elapsed, static_cast<unsigned long long>(s.packets), static_cast<double>(s.bytes) / 1024,
      kbits, static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.lost));
  return text;
}

// Turns SIGINT and SIGTERM into a stop request, on a thread of its own that
// waits for them with sigwait. Before the stream runs there is nothing to
// tear down yet and the handshake cannot be interrupted, so a signal then
// ends the process at once. The destructor ends and joins the thread, so
// the thread never outlives what it points at.
class SignalWatcher {
 public:
  SignalWatcher(const sigset_t& signals, Events& events)
      : events_(events), thread_([this, signals] { loop(signals); }) {}
  ~SignalWatcher() {
    quit_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);  // wakes sigwait
    thread_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  void streamStarted() { streaming_ = true; }

 private:
  void loop(sigset_t signals) {
    for (;;) {
      int signo = 0;
      if (sigwait(&signals, &signo) != 0) continue;
      if (quit_) return;
      if (!streaming_) {
        static const char kMessage[] = "rtsp-pull: interrupted before the stream started\n";
        (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        _exit(kExitFailed);
      }
      events_.set(&Events::stopRequested);
    }
  }

  Events& events_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> streaming_{false};
  std::thread thread_;  // last: starts after the flags exist
};

int run(int argc, char** argv) {
  Options options;
  const int parsed = parseOptions(argc, argv, options);
  if (parsed >= 0) return parsed;
  RtspUrl url;
  std::string error;
  if (!parseRtspUrl(options.url, url, error))
    return usageError("cannot use the URL \"" + options.url + "\": " + error);

  // Signals are blocked before any thread exists, so that every thread,
  // the library's receive thread included, inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // The stream gets its own descriptor. With "-o -" it is a duplicate of the
  // real standard output, and descriptor 1 then points at standard error, so
  // nothing else written to standard output can land in the stream.
  int outputFd = -1;
  if (options.output == "-") {
    outputFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (outputFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      std::fprintf(stderr, "rtsp-pull: cannot set up standard output: %s\n", std::strerror(errno));
      return kExitFailed;
    }
  } else if (!options.output.empty()) {
    outputFd = open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outputFd < 0) {
      std::fprintf(stderr, "rtsp-pull: cannot write %s: %s\n", options.output.c_str(),
                   std::strerror(errno));
      return kExitFailed;
    }
  }
  // The library's diagnostics never reach descriptor 1 (see library_output.h).
  LibraryOutput libraryOutput(options.verbose ? stderr : nullptr);
  libraryOutput.install(std::cout);

  Events events;
  SignalWatcher signalWatcher(signals, events);

  Pull pull(options, outputFd, events);
  if (!pull.openRtpdump(url, error)) {
    std::fprintf(stderr, "rtsp-pull: cannot write %s\n", error.c_str());
    return kExitFailed;
  }

  const bool progress = !options.quiet && isatty(STDERR_FILENO) != 0;
  int status = kExitOk;
  const char* reason = "";
  {
    CRTSPDownload session;
    const auto timeoutUs = static_cast<long long>(options.connectTimeout * 1e6);
    session.initInfo(url.host, url.port, url.path, 0,
                     ACE_Time_Value(static_cast<time_t>(timeoutUs / 1000000),
                                    static_cast<suseconds_t>(timeoutUs % 1000000)),
                     0);
    session.registeRTPReceiver(new PullReceiver(pull));
    session.setRecvTimeoutCallbackFun(onReceptionEnded, &events);

    // Quiet start: the callback is kept for the end of reception (it runs at
    // most once per session), and a failed start is explained below.
    if (!session.startRTSPDownload(true, true)) {
      session.stop();
      const HandshakeTranscript transcript = libraryOutput.transcript();
      ConnectProbe probe;
      if (transcript.lastRequest().empty())
        probe = probeConnect(url.host, url.port, static_cast<int>(options.connectTimeout * 1000));
      std::fprintf(stderr, "rtsp-pull: cannot start the stream: %s\n",
                   explainHandshakeFailure(transcript, url, probe).c_str());
      return kExitFailed;
    }
    signalWatcher.streamStarted();

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(options.seconds));
    std::unique_lock<std::mutex> lock(events.mutex);
    for (;;) {
      if (events.writeFailed) {
        status = kExitFailed;
        reason = "output write failed";
        break;
      }
      if (events.stopRequested) {
        reason = "stopped by signal";
        break;
      }
      if (events.frameLimit) {
        reason = "frame count reached";
        break;
      }
      if (options.seconds > 0 && std::chrono::steady_clock::now() >= deadline) {
        reason = "duration reached";
        break;
      }
      if (events.ended) {
        status = kExitEnded;
        reason = "the stream ended";
        break;
      }
      auto wake = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
      if (options.seconds > 0 && deadline < wake) wake = deadline;
      events.changed.wait_until(lock, wake);
      if (progress) {
        lock.unlock();
        std::fprintf(stderr, "\r%s \033[K", formatStats(pull.stats(elapsed())).c_str());
        lock.lock();
      }
    }
    lock.unlock();
    // Sends TEARDOWN and joins the receive thread; the callback may run once
    // more meanwhile, which no longer matters.
    session.stop();
    if (!pull.finish() && status == kExitOk) status = kExitFailed;
    if (!options.quiet) {
      if (progress) std::fputs("\r\033[K", stderr);
      std::fprintf(stderr, "rtsp-pull: %s (%s)\n", formatStats(pull.stats(elapsed())).c_str(),
                   reason);
    }
  }
  if (outputFd >= 0 && close(outputFd) != 0 && status == kExitOk) {
    std::fprintf(stderr, "rtsp-pull: writing the output failed: %s\n", std::strerror(errno));
    status = kExitFailed;
  }
  return status;
}

}  // namespace
}  // namespace rtsp_pull

int main(int argc, char** argv) { return rtsp_pull::run(argc, argv); }
