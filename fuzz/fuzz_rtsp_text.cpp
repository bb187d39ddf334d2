// Fuzz target: the text functions of the session options and the reader of
// the control connection. Byte 0: bit 0 reads RTSP messages in the stream
// (keep-alive on), the other bits pick where the stream is cut into
// receives. The rest is the stream, and also the text handed to the Session
// header, header lookup, URL and start-line functions. Checks: the stream
// cut into pieces gives the same items as in one piece; a message comes only
// when asked for and within its bound; a failed reader stays failed; the
// session id holds no ";"; a parsed rtsp:// URL has a host and a port from 1 to 65535; escaping
// leaves only URL path characters.
#include <cstdint>
#include <string>
#include <vector>

#include "session/interleaved_reader.h"
#include "support/reader_items.h"
#include "session/rtsp_text.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool messages = (data[0] & 1) != 0;
  const std::size_t piece = 1 + (data[0] >> 1);
  const std::string text = textOf(data, size, 1);
  if (text.size() > InterleavedReader::kMinCapacity) return 0;  // more than one receive holds
  std::vector<std::size_t> cuts;
  for (std::size_t cut = piece; cut < text.size(); cut += piece) cuts.push_back(cut);
  const std::vector<std::string> items = rtsptest::readerItems(text, {}, messages);
  check(rtsptest::readerItems(text, cuts, messages) == items);
  for (const std::string& item : items) {
    check(item != "and then more");  // a failed reader stays failed
    // A message only when asked for, within its bound, its head through an empty line.
    check(item.compare(0, 2, "M:") != 0 || (messages && item.find("\n|") != std::string::npos &&
                                            item.size() <= 3 + InterleavedReader::kMaxMessage));
  }

  const rtsptext::SessionHeader session = rtsptext::parseSessionHeader(text);
  check(session.id.find(';') == std::string::npos &&
        (session.timeoutSec == -1 || session.timeoutSec > 0));
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
