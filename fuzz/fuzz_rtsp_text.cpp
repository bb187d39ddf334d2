// Fuzz target: the text functions of the session options and the reader of
// the control connection. Byte 0: bit 0 reads RTSP messages in the stream
// (keep-alive on), the other bits pick where the stream is cut into
// receives. The rest is the stream, and also the text handed to the Session
// header, header lookup, URL and start-line functions. Checks: the stream
// cut into pieces gives the same items as in one piece; every frame holds
// its announced length and every message its body; the session id holds no
// ";"; a parsed rtsp:// URL has a host and a port from 1 to 65535; escaping
// leaves only URL path characters.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "session/interleaved_reader.h"
#include "session/rtsp_text.h"
#include "check.h"

namespace {

// The items of `stream` received in pieces of `piece` bytes (0: whole), as
// text; a last entry names a failure.
std::vector<std::string> itemsOf(const std::string& stream, std::size_t piece, bool messages) {
  InterleavedReader reader(InterleavedReader::kMinCapacity, messages);
  std::vector<std::string> items;
  for (std::size_t from = 0; from < stream.size();) {
    const std::size_t n = piece == 0 ? stream.size() - from : std::min(piece, stream.size() - from);
    char* const space = reader.space();
    check(reader.spaceSize() >= n || reader.spaceSize() >= InterleavedReader::kMaxMessage);
    const std::size_t taken = std::min(n, reader.spaceSize());
    std::memcpy(space, stream.data() + from, taken);
    reader.commit(taken);
    from += taken;
    for (InterleavedReader::Item item = reader.next();
         item.kind != InterleavedReader::Kind::kNeedMore; item = reader.next()) {
      if (item.kind == InterleavedReader::Kind::kFrame) {
        check(item.payload.size() <= 65535);
        items.push_back(std::string(1, item.magic) + std::string(item.payload));
      } else if (item.kind == InterleavedReader::Kind::kMessage) {
        check(messages && item.head.size() + item.payload.size() <= InterleavedReader::kMaxMessage);
        check(item.head.size() >= 4 && item.head.back() == '\n');
        items.push_back("M" + std::string(item.head) + "|" + std::string(item.payload));
      } else {
        check(reader.next().kind == item.kind);  // it stays there
        items.push_back("bad " + std::to_string(item.byte));
        return items;
      }
    }
  }
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool messages = (data[0] & 1) != 0;
  const std::size_t piece = 1 + (data[0] >> 1);
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  check(itemsOf(text, piece, messages) == itemsOf(text, 0, messages));

  const rtsptext::SessionHeader session = rtsptext::parseSessionHeader(text);
  check(session.id.find(';') == std::string::npos);
  check(session.timeoutSec == -1 || session.timeoutSec > 0);
  rtsptext::headerValues(text, "Content-Length");
  rtsptext::listsMethod(text, "GET_PARAMETER");
  rtsptext::requestMethod(rtsptext::startLine(text));
  check(rtsptext::replyStatus(rtsptext::startLine(text)) <= 999);
  rtsptext::RtspUrl url;
  if (rtsptext::parseRtspUrl(text, url))
    check(!url.host.empty() && url.port >= 1 && url.port <= 65535);
  const std::string escaped = rtsptext::escapePath(text);
  for (const char c : escaped) check(c > ' ' && c < 0x7F && c != '?' && c != '#');
  rtsptext::resolveUrl("rtsp://h:554/base/", text);
  return 0;
}
