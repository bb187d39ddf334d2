// The reader of the control connection: the same stream, received in any
// pieces, gives the same items; bytes that start nothing end it, naming the
// byte; RTSP messages only when asked for, within their limits.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/interleaved_reader.h"
#include "support/session_support.h"

namespace {

using rtsptest::frame;
using Kind = InterleavedReader::Kind;
using namespace std::string_literals;

// Every item of `stream`, received in pieces that end at `cuts` (offsets in
// increasing order), written as text: "$<channel>:<payload>", "%<channel>:",
// "M:<head>|<body>", and a last "bad 0x<byte>" or "bad message: <problem>".
std::vector<std::string> itemsOf(const std::string& stream, const std::vector<std::size_t>& cuts,
                                 bool rtspMessages) {
  InterleavedReader reader(InterleavedReader::kMinCapacity, rtspMessages);
  std::vector<std::string> items;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
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
        char text[64];
        if (item.kind == Kind::kBadByte) {
          std::snprintf(text, sizeof text, "bad 0x%02X", item.byte);
        } else {
          std::snprintf(text, sizeof text, "bad message: %s", item.problem);
        }
        items.push_back(text);
        return items;
      }
    }
  }
  return items;
}

const std::string kReply = "RTSP/1.0 400 Bad Request\r\nCSeq: 99\r\n\r\n";
const std::string kReplyWithBody =
    "RTSP/1.0 200 OK\r\nCSeq: 5\r\ncontent-length: 6\r\n\r\n$\x00\x00\x01rx"s;
const std::string kServerRequest = "OPTIONS rtsp://cam/live RTSP/1.0\r\nCSeq: 7\r\n\r\n";

TEST(InterleavedReader, EverySplitOfAStreamGivesTheSameItems) {
  const std::string stream = frame('$', 0, "first") + kReply + frame('$', 1, "") +
                             frame('%', 0, "dropped") + kReplyWithBody + kServerRequest +
                             frame('$', 0, std::string(200, '\x24')) + "x";
  const std::vector<std::string> whole = itemsOf(stream, {}, true);
  const std::vector<std::string> expected = {
      "$0:first",
      "M:" + kReply + "|",
      "$1:",
      "%0:dropped",
      "M:RTSP/1.0 200 OK\r\nCSeq: 5\r\ncontent-length: 6\r\n\r\n|$\x00\x00\x01rx"s,
      "M:" + kServerRequest + "|",
      "$0:" + std::string(200, '\x24'),
      "bad 0x78",
  };
  EXPECT_EQ(whole, expected);
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(itemsOf(stream, {cut}, true), expected) << "cut at " << cut;
  }
  for (std::size_t a = 1; a < stream.size(); a += 7) {
    for (std::size_t b = a + 1; b < stream.size(); b += 3) {
      ASSERT_EQ(itemsOf(stream, {a, b}, true), expected) << "cuts at " << a << ", " << b;
    }
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) everyByte.push_back(cut);
  EXPECT_EQ(itemsOf(stream, everyByte, true), expected);
}

TEST(InterleavedReader, LargestFrameInPiecesThroughASmallBuffer) {
  std::string payload(65535, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
  std::string stream;
  for (int i = 0; i < 4; ++i) stream += frame('$', static_cast<char>(i), payload);
  std::vector<std::size_t> cuts;
  for (std::size_t cut = 1000; cut < stream.size(); cut += 1000 + cut % 977) cuts.push_back(cut);
  const std::vector<std::string> items = itemsOf(stream, cuts, false);
  ASSERT_EQ(items.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(items[i], "$" + std::to_string(i) + ":" + payload);
}

TEST(InterleavedReader, WhatEndsTheStream) {
  const std::string longLine(9000, 'x');
  std::string manyHeaders = "RTSP/1.0 200 OK\r\n";
  for (int i = 0; i < 101; ++i) manyHeaders += "X-H: 1\r\n";
  struct Row {
    const char* name;
    std::string stream;
    bool rtspMessages;
    std::string last;
  };
  // clang-format off
  const Row rows[] = {
      {"a reply without keep-alive", frame('$', 0, "a") + kReply, false, "bad 0x52"},
      {"a server request without keep-alive", kServerRequest, false, "bad 0x4F"},
      {"a lower-case byte", "rtsp", true, "bad 0x72"},
      {"a zero byte", std::string(1, '\0'), true, "bad 0x00"},
      {"upper case that is no start line", "RANDOM TEXT\r\n\r\n", true, "bad 0x52"},
      {"a start line over 8 KiB", "R" + longLine, true, "bad 0x52"},
      {"a header line over 8 KiB", "RTSP/1.0 200 OK\r\nX: " + longLine + "\r\n\r\n", true,
          "bad message: a header line over 8 KiB"},
      {"over 100 header lines", manyHeaders + "\r\n", true, "bad message: over 100 header lines"},
      {"a Content-Length that is no number", "RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", true,
          "bad message: a malformed Content-Length"},
      {"a body over 64 KiB", "RTSP/1.0 200 OK\r\nContent-Length: 70000\r\n\r\n", true,
          "bad message: a message over 64 KiB"},
  };
  // clang-format on
  for (const Row& row : rows) {
    const std::vector<std::string> items = itemsOf(row.stream, {}, row.rtspMessages);
    ASSERT_FALSE(items.empty()) << row.name;
    EXPECT_EQ(items.back(), row.last) << row.name;
  }
}

TEST(InterleavedReader, IncompleteItemsWaitForTheirRest) {
  // A message whose body has not all come, a frame whose payload has not:
  // nothing is handed out, and nothing fails.
  for (const std::string& partial :
       {std::string("RTSP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nab"),
        frame('$', 0, "abc").substr(0, 5),
        std::string("GET_PARAMETER rtsp://h/ RTSP/1.0\r\nCSeq: 1\r\n")}) {
    EXPECT_TRUE(itemsOf(partial, {}, true).empty()) << partial;
  }
}

}  // namespace
