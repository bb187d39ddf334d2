// The items the reader of the control connection makes of a stream, written
// as text; shared by its unit test and its fuzz target.
#ifndef RTSPPULL_TESTS_SUPPORT_READER_ITEMS_H_
#define RTSPPULL_TESTS_SUPPORT_READER_ITEMS_H_

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/interleaved_reader.h"

namespace rtsptest {

// Every item of `stream`, received in pieces that end at `cuts` (offsets in
// increasing order): "$<channel>:<payload>", "%<channel>:<payload>",
// "M:<head>|<body>", and a last "bad 0x<byte>" or "bad message: <problem>"
// (or "no space" when a piece does not fit).
inline std::vector<std::string> readerItems(const std::string& stream,
                                            const std::vector<std::size_t>& cuts,
                                            bool rtspMessages) {
  using Kind = InterleavedReader::Kind;
  InterleavedReader reader(InterleavedReader::kMinCapacity, rtspMessages);
  std::vector<std::string> items;
  for (std::size_t i = 0, from = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
    char* const space = reader.space();
    if (reader.spaceSize() < to - from) return {"no space"};
    std::memcpy(space, stream.data() + from, to - from);
    reader.commit(to - from);
    from = to;
    for (InterleavedReader::Item item = reader.next(); item.kind != Kind::kNeedMore;
         item = reader.next()) {
      if (item.kind == Kind::kFrame) {
        items.push_back(std::string(1, item.magic) + std::to_string(item.channel) + ":" +
                        std::string(item.payload));
      } else if (item.kind == Kind::kMessage) {
        items.push_back("M:" + std::string(item.head) + "|" + std::string(item.payload));
      } else {
        char bad[16];
        std::snprintf(bad, sizeof bad, "bad 0x%02X", item.byte);
        items.push_back(item.kind == Kind::kBadByte ? bad
                                                    : "bad message: " + std::string(item.problem));
        if (reader.next().kind != item.kind) items.push_back("and then more");
        return items;
      }
    }
  }
  return items;
}

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_READER_ITEMS_H_
