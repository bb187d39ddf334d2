// Writer of the rtpdump file format, which rtptools and Wireshark read:
//   "#!rtpplay1.0 ADDRESS/PORT\n"
//   RD_hdr_t:    start time (seconds, microseconds; 32 bits each), source
//                address (32 bits), port (16 bits), padding (16 bits)
//   per packet, RD_packet_t: record length including this 8-byte header
//                (16 bits), packet length (16 bits; 0 marks RTCP), offset in
//                milliseconds from the start time (32 bits); then the packet.
// Every number is in network byte order.
#ifndef RTSP_PULL_RTPDUMP_WRITER_H_
#define RTSP_PULL_RTPDUMP_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace rtsp_pull {

// The file preamble: text line and RD_hdr_t. `address` is an IPv4 address
// in host byte order.
std::string rtpdumpPreamble(uint32_t startSec, uint32_t startUsec, uint32_t address, uint16_t port);

// One RD_packet_t record with the packet bytes. A packet too long for the
// 16-bit record length is cut, as the format allows: the record length
// then counts the bytes kept and the packet length the original size.
std::string rtpdumpRecord(const uint8_t* packet, size_t size, uint32_t offsetMs, bool rtcp);

class RtpdumpWriter {
 public:
  RtpdumpWriter() = default;
  ~RtpdumpWriter();
  RtpdumpWriter(const RtpdumpWriter&) = delete;
  RtpdumpWriter& operator=(const RtpdumpWriter&) = delete;

  // Creates `path` and writes the preamble, taking the current time as the
  // start. An existing regular file is replaced only when `overwrite`; a
  // device or a pipe is written to. False with the reason in `error` when the
  // file exists or cannot be written.
  bool open(const std::string& path, uint32_t address, uint16_t port, bool overwrite,
            std::string& error);
  // Appends one record stamped with the time elapsed since open.
  bool write(const uint8_t* packet, size_t size, bool rtcp);
  bool close();
  bool isOpen() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
  uint64_t startUs_ = 0;  // steady clock at open, microseconds
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_RTPDUMP_WRITER_H_
