// Process figures for the load and soak programs, read from /proc and
// getrusage: resident memory, threads, open descriptors, CPU time.
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
#include <string>

#include <rtsppull/rtsp_download.h>
#include <rtsppull/rtp_receiver.h>

#include "support/open_descriptors.h"

namespace soak {

// A field of /proc/self/status ("VmRSS", "Threads", ...) as a number (kB for
// the memory fields); -1 when missing.
inline long statusField(const char* name) {
  FILE* f = std::fopen("/proc/self/status", "r");
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

}  // namespace soak

#endif  // RTSPPULL_BENCH_SOAK_UTIL_H_
