// For the load, soak and scale programs: process figures read from /proc and
// getrusage (resident memory, threads, open descriptors, CPU time), argument
// reading, and the receivers that count or check what a session delivers.
#ifndef RTSPPULL_BENCH_SOAK_UTIL_H_
#define RTSPPULL_BENCH_SOAK_UTIL_H_

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <rtsppull/rtsp_download.h>
#include <rtsppull/rtp_receiver.h>

#include "loopback_server.h"
#include "support/open_descriptors.h"

namespace soak {

// A field of /proc/self/status ("VmRSS", "Threads", ...) or of another file
// of "Name: value" lines (/proc/self/smaps_rollup) as a number (kB for the
// memory fields); -1 when missing.
inline long statusField(const char* name, const char* file = "/proc/self/status") {
  FILE* f = std::fopen(file, "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t n = std::strlen(name);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, name, n) == 0 && line[n] == ':') {
      value = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

inline long rssKb() { return statusField("VmRSS"); }
inline long threadCount() { return statusField("Threads"); }

// Open descriptors of the process (tests/support/open_descriptors.h).
using ::openDescriptors;

// User plus system CPU time of the whole process, in seconds.
inline double processCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Value of "--name N" in argv, or `fallback`.
inline long argValue(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

inline bool hasFlag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return true;
  }
  return false;
}

// Discards what is written to std::cout (the library's diagnostics) for its
// lifetime; the programs report through C stdio.
class DiscardCout {
 public:
  DiscardCout() : old_(std::cout.rdbuf(&null_)) {}
  ~DiscardCout() { std::cout.rdbuf(old_); }
  DiscardCout(const DiscardCout&) = delete;
  DiscardCout& operator=(const DiscardCout&) = delete;

 private:
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
  };
  NullBuffer null_;
  std::streambuf* old_;
};

// The host callback: counts its runs.
struct CallbackCounter {
  std::atomic<int> runs{0};
  static void callback(void* arg) { ++static_cast<CallbackCounter*>(arg)->runs; }
};

// A host that only counts the media packets it is handed.
class CountingReceiver : public IRTPReceiver {
 public:
  explicit CountingReceiver(std::atomic<long>& packets) : packets_(packets) {}
  bool OnRecvData(const char*, unsigned int, bool isFileHeader, SDP*) override {
    if (!isFileHeader) ++packets_;
    return true;
  }

 private:
  std::atomic<long>& packets_;
};

// What one session's checking receiver saw. Written by its receive thread
// only; read by the main thread.
struct StreamCheck {
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> lost{0};        // packets skipped by forward jumps of the index
  std::atomic<std::uint64_t> outOfOrder{0};  // packets whose index went back
  std::atomic<std::uint64_t> damaged{0};     // wrong length, connection or index copy
  std::atomic<std::int64_t> connection{-1};
  std::atomic<int> headers{0};
  std::uint64_t next = 0;
};

// Checks every packet of a loopback::LoopbackServer stream (StreamedPacket):
// its length, its connection (the same for the whole session), its index
// (the next one, repeated intact at the end; the RTP sequence number is its
// low 16 bits). RTCP passes unchecked.
class CheckingReceiver : public IRTPReceiver {
 public:
  CheckingReceiver(StreamCheck& check, std::size_t packetSize)
      : check_(check), packetSize_(packetSize) {}

  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    if (isFileHeader) {
      ++check_.headers;
      return true;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    if (length >= 2 && p[1] >= 200 && p[1] <= 204) return true;  // RTCP
    if (length != packetSize_) {
      ++check_.damaged;
      return true;
    }
    const std::uint64_t index = loopback::readBE64(p + loopback::StreamedPacket::kIndexOffset);
    const std::int64_t connection =
        loopback::readBE32(p + loopback::StreamedPacket::kConnectionOffset);
    if (index != loopback::readBE64(p + length - 8)) ++check_.damaged;
    std::int64_t expected = -1;
    if (!check_.connection.compare_exchange_strong(expected, connection) &&
        expected != connection) {
      ++check_.damaged;
    }
    if (index > check_.next) {
      check_.lost += index - check_.next;
    } else if (index < check_.next) {
      ++check_.outOfOrder;
    }
    check_.next = index + 1;
    ++check_.received;
    return true;
  }

 private:
  StreamCheck& check_;
  std::size_t packetSize_;
};

// The sums over the sessions' checks once the stream is over;
// `sentOn(connection)` is what the server says it sent on a connection (a
// connection of -1 means none was seen).
struct CheckTotals {
  std::uint64_t lost = 0, outOfOrder = 0, damaged = 0, mismatched = 0;
  int headers = 0;

  template <typename SentOn>
  CheckTotals(const std::vector<std::unique_ptr<StreamCheck>>& checks, SentOn sentOn) {
    for (const auto& c : checks) {
      lost += c->lost;
      outOfOrder += c->outOfOrder;
      damaged += c->damaged;
      headers += c->headers;
      if (c->connection < 0 || sentOn(c->connection) != c->received) ++mismatched;
    }
  }

  bool clean() const { return lost == 0 && outOfOrder == 0 && damaged == 0 && mismatched == 0; }

  // The "started" and "packets" lines of a report, labels `width` wide.
  void print(int width, long started, long sessions, double startSeconds, std::uint64_t sent,
             std::uint64_t received) const {
    std::printf("  %-*s%ld/%ld in %.2f s, stream headers %d\n", width, "started", started, sessions,
                startSeconds, headers);
    std::printf(
        "  %-*ssent %llu, received %llu, lost %llu, out of order %llu, damaged %llu, "
        "sessions with a count mismatch %llu\n",
        width, "packets", static_cast<unsigned long long>(sent),
        static_cast<unsigned long long>(received), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(outOfOrder), static_cast<unsigned long long>(damaged),
        static_cast<unsigned long long>(mismatched));
  }
};

}  // namespace soak

#endif  // RTSPPULL_BENCH_SOAK_UTIL_H_
