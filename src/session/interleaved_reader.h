// The buffer and the parser of the control connection: bytes received in any
// pieces go into one buffer; the handshake takes lines and bodies from its
// front (pending, consume), and after PLAY whole items come out of it:
// interleaved frames and, when asked for, RTSP messages (replies to
// keep-alives, requests of the server). Pure: no sockets, no clock;
// ControlReader feeds it.
#ifndef RTSPPULL_SESSION_INTERLEAVED_READER_H_
#define RTSPPULL_SESSION_INTERLEAVED_READER_H_

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string_view>

class InterleavedReader {
 public:
  enum class Kind {
    kNeedMore,    // no whole item in the buffer: receive more
    kFrame,       // an interleaved frame ("$" or "%")
    kMessage,     // an RTSP reply or request, its body included
    kBadByte,     // a byte that starts neither a frame nor (when asked for) a message
    kBadMessage,  // an RTSP message over the limits, or with a malformed Content-Length
  };
  struct Item {
    Kind kind = Kind::kNeedMore;
    char magic = 0;                 // kFrame: '$' or '%'
    unsigned char channel = 0;      // kFrame
    std::string_view payload;       // kFrame: the payload; kMessage: its body
    std::string_view head;          // kMessage: start line and headers, through the empty line
    unsigned char byte = 0;         // kBadByte: the offending byte
    const char* problem = nullptr;  // kBadMessage: what is wrong, in a few words
  };

  // Largest RTSP message (head and body) read from the stream, and the
  // limits of its head.
  static constexpr std::size_t kMaxMessage = 65536;
  static constexpr std::size_t kMaxLine = 8192;
  static constexpr std::size_t kMaxHeaderLines = 100;
  // The smallest capacity that holds any frame and any message.
  static constexpr std::size_t kMinCapacity = 4 + 65535 + kMaxMessage;

  // `capacity` (at least kMinCapacity) is allocated at once but zero pages
  // that are never written stay unbacked: the buffer costs memory only as far
  // as the largest receive and item reach. With `rtspMessages` false any
  // byte other than "$" or "%" at the start of an item is kBadByte.
  InterleavedReader(std::size_t capacity, bool rtspMessages);

  // Where the next receive may write and how much. Moves the unread rest to
  // the front of the buffer first, so views of earlier items end here.
  char* space();
  std::size_t spaceSize() const { return capacity_ - end_; }
  // `n` bytes were written at space().
  void commit(std::size_t n) { end_ += n; }

  // The next whole item, consumed; its views stay valid until the next
  // call of space(). After kBadByte or kBadMessage the reader stays there.
  Item next();

  // Bytes received and not yet handed out as items.
  std::size_t buffered() const { return end_ - begin_; }
  // Those bytes, for the handshake, which reads lines and bodies itself;
  // valid until the next call of space().
  std::string_view pending() const { return std::string_view(buffer_.get() + begin_, buffered()); }
  // Drops the first `n` pending bytes; only between items.
  void consume(std::size_t n) { begin_ += n; }
  // Whether RTSP messages are items from now on (false: kBadByte); only
  // between items.
  void setRtspMessages(bool rtspMessages) { rtspMessages_ = rtspMessages; }

 private:
  // The buffer is a private anonymous mapping of its own, not heap memory:
  // the heap would hand a later session memory that an earlier one freed,
  // which calloc must clear (all of it resident again); a fresh mapping is
  // zero and unbacked until written, whatever ran before.
  struct Unmap {
    std::size_t size = 0;
    void operator()(char* p) const;
  };
  Item nextMessage();

  std::unique_ptr<char, Unmap> buffer_;
  std::size_t capacity_;
  bool rtspMessages_;
  std::size_t begin_ = 0;  // first byte of the next item
  std::size_t end_ = 0;    // one past the last byte received
  // Progress of the scan of a message head that is not complete yet, as
  // offsets from begin_, so that every byte is looked at once however the
  // head arrives.
  std::size_t scanned_ = 0;
  std::size_t lineStart_ = 0;
  std::size_t lines_ = 0;
  std::size_t headSize_ = 0;  // 0 until the head's empty line was seen
  long long contentLength_ = 0;
  bool failed_ = false;
  Item failure_;
};

#endif  // RTSPPULL_SESSION_INTERLEAVED_READER_H_
