#include "rtpdump_writer.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace rtsp_pull {

namespace {

void put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
  out.push_back(static_cast<char>(v & 0xFF));
}

void put32(std::string& out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xFFFF);
}

uint64_t steadyMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

std::string rtpdumpPreamble(uint32_t startSec, uint32_t startUsec, uint32_t address,
                            uint16_t port) {
  std::string out = "#!rtpplay1.0 " + std::to_string(address >> 24) + "." +
                    std::to_string((address >> 16) & 0xFF) + "." +
                    std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) +
                    "/" + std::to_string(port) + "\n";
  put32(out, startSec);
  put32(out, startUsec);
  put32(out, address);
  put16(out, port);
  put16(out, 0);
  return out;
}

std::string rtpdumpRecord(const uint8_t* packet, size_t size, uint32_t offsetMs, bool rtcp) {
  constexpr size_t kHeader = 8;
  constexpr size_t kMaxKept = 0xFFFF - kHeader;
  const size_t kept = size < kMaxKept ? size : kMaxKept;
  std::string out;
  out.reserve(kHeader + kept);
  put16(out, static_cast<uint32_t>(kHeader + kept));
  put16(out, rtcp ? 0 : static_cast<uint32_t>(size & 0xFFFF));
  put32(out, offsetMs);
  out.append(reinterpret_cast<const char*>(packet), kept);
  return out;
}

RtpdumpWriter::~RtpdumpWriter() { close(); }

bool RtpdumpWriter::open(const std::string& path, uint32_t address, uint16_t port, bool overwrite,
                         std::string& error) {
  close();
  // "x": created here or not at all, so that no file is replaced unasked.
  file_ = std::fopen(path.c_str(), overwrite ? "wb" : "wbx");
  struct stat status {};
  if (file_ == nullptr && errno == EEXIST) {
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      error = path + ": the file exists (--overwrite replaces it)";
      return false;
    }
    file_ = std::fopen(path.c_str(), "wb");  // /dev/null, a FIFO
  }
  if (file_ == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  timeval now{};
  gettimeofday(&now, nullptr);
  startUs_ = steadyMicros();
  const std::string preamble = rtpdumpPreamble(static_cast<uint32_t>(now.tv_sec),
                                               static_cast<uint32_t>(now.tv_usec), address, port);
  if (std::fwrite(preamble.data(), 1, preamble.size(), file_) != preamble.size()) {
    error = path + ": " + std::strerror(errno);
    close();
    return false;
  }
  return true;
}

bool RtpdumpWriter::write(const uint8_t* packet, size_t size, bool rtcp) {
  if (file_ == nullptr) return false;
  const auto offsetMs = static_cast<uint32_t>((steadyMicros() - startUs_) / 1000);
  const std::string record = rtpdumpRecord(packet, size, offsetMs, rtcp);
  return std::fwrite(record.data(), 1, record.size(), file_) == record.size();
}

bool RtpdumpWriter::close() {
  if (file_ == nullptr) return true;
  const bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  return ok;
}

}  // namespace rtsp_pull
