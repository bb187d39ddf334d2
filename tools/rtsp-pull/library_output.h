// Keeps the library's diagnostic text away from the tool's standard output.
//
// The library writes its diagnostics (requests, reply lines, SDP lines,
// status messages) to std::cout. While installed, this buffer takes
// std::cout's place: it feeds every line to a HandshakeTranscript and, when
// asked, copies it to a FILE (the tool's stderr with --verbose). Nothing the
// library writes through std::cout reaches file descriptor 1, so a stream
// written to standard output stays clean.
#ifndef RTSP_PULL_LIBRARY_OUTPUT_H_
#define RTSP_PULL_LIBRARY_OUTPUT_H_

#include <cstdio>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "diagnosis.h"

namespace rtsp_pull {

class LibraryOutput : public std::streambuf {
 public:
  // `echo`: where to copy the text, prefixed per line; nullptr keeps it only.
  explicit LibraryOutput(std::FILE* echo);
  ~LibraryOutput() override;
  LibraryOutput(const LibraryOutput&) = delete;
  LibraryOutput& operator=(const LibraryOutput&) = delete;

  // Puts this buffer in place of `stream`'s until the destructor.
  void install(std::ostream& stream);

  // A copy of the transcript so far (thread-safe).
  HandshakeTranscript transcript() const;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;

 private:
  void feed(const char* s, size_t n);

  std::FILE* echo_;
  std::ostream* stream_ = nullptr;
  std::streambuf* previous_ = nullptr;
  mutable std::mutex mutex_;
  std::string partial_;
  HandshakeTranscript transcript_;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_LIBRARY_OUTPUT_H_
