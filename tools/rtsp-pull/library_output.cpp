#include "library_output.h"

namespace rtsp_pull {

LibraryOutput::LibraryOutput(std::FILE* echo) : echo_(echo) {}

LibraryOutput::~LibraryOutput() {
  if (stream_ != nullptr) stream_->rdbuf(previous_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial_.empty()) {
    transcript_.addLine(partial_);
    if (echo_ != nullptr) std::fprintf(echo_, "rtsp| %s\n", partial_.c_str());
  }
}

void LibraryOutput::install(std::ostream& stream) {
  stream_ = &stream;
  previous_ = stream.rdbuf(this);
}

HandshakeTranscript LibraryOutput::transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

LibraryOutput::int_type LibraryOutput::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  feed(&ch, 1);
  return c;
}

std::streamsize LibraryOutput::xsputn(const char* s, std::streamsize n) {
  if (n > 0) feed(s, static_cast<size_t>(n));
  return n;
}

void LibraryOutput::feed(const char* s, size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != '\n') {
      partial_.push_back(s[i]);
      continue;
    }
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    transcript_.addLine(partial_);
    if (echo_ != nullptr) std::fprintf(echo_, "rtsp| %s\n", partial_.c_str());
    partial_.clear();
  }
}

}  // namespace rtsp_pull
