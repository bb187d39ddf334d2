#include "log.h"

#include <unistd.h>

#include <mutex>

namespace rtsp_recorder {

void logLine(const std::string& text) {
  static std::mutex mutex;
  const std::string line = "rtsp-recorder: " + text + "\n";
  std::lock_guard<std::mutex> lock(mutex);
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace rtsp_recorder
