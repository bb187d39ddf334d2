// The reader of the control connection: the same stream, received in any
// pieces, gives the same items; bytes that start nothing end it, naming the
// byte; RTSP messages only when asked for, within their limits.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/interleaved_reader.h"
#include "support/reader_items.h"
#include "support/scripted_server.h"

namespace {

using rtsptest::frame;
using rtsptest::readerItems;
using namespace std::string_literals;

const std::string kReply = "RTSP/1.0 400 Bad Request\r\nCSeq: 99\r\n\r\n";
const std::string kReplyWithBody =
    "RTSP/1.0 200 OK\r\nCSeq: 5\r\ncontent-length: 6\r\n\r\n$\x00\x00\x01rx"s;
const std::string kServerRequest = "OPTIONS rtsp://cam/live RTSP/1.0\r\nCSeq: 7\r\n\r\n";

TEST(InterleavedReader, EverySplitOfAStreamGivesTheSameItems) {
  const std::string stream = frame('$', 0, "first") + kReply + frame('$', 1, "") +
                             frame('%', 0, "dropped") + kReplyWithBody + kServerRequest +
                             frame('$', 0, std::string(200, '\x24')) + "x";
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
  EXPECT_EQ(readerItems(stream, {}, true), expected);
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(readerItems(stream, {cut}, true), expected) << "cut at " << cut;
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) everyByte.push_back(cut);
  EXPECT_EQ(readerItems(stream, everyByte, true), expected);
}

TEST(InterleavedReader, LargestFrameInPiecesThroughASmallBuffer) {
  std::string payload(65535, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
  std::string stream;
  for (int i = 0; i < 4; ++i) stream += frame('$', static_cast<char>(i), payload);
  std::vector<std::size_t> cuts;
  for (std::size_t cut = 1000; cut < stream.size(); cut += 1000 + cut % 977) cuts.push_back(cut);
  const std::vector<std::string> items = readerItems(stream, cuts, false);
  ASSERT_EQ(items.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(items[i], "$" + std::to_string(i) + ":" + payload);
}

TEST(InterleavedReader, WhatEndsTheStream) {
  const std::string longLine(9000, 'x');
  std::string manyHeaders = "RTSP/1.0 200 OK\r\n";
  for (int i = 0; i < 100; ++i) manyHeaders += "X-H: 1\r\n";
  struct Row {
    const char* name;
    std::string stream;
    bool rtspMessages;
    std::string last;
  };
  // clang-format off
  const Row rows[] = {
      {"a reply without keep-alive", frame('$', 0, "a") + kReply, false, "bad 0x52"},
      {"a lower-case byte", "rtsp", true, "bad 0x72"},
      {"upper case that is no start line", "RANDOM TEXT\r\n\r\n", true, "bad 0x52"},
      {"a start line over 8 KiB", "R" + longLine, true, "bad 0x52"},
      {"a header line over 8 KiB", "RTSP/1.0 200 OK\r\nX: " + longLine + "\r\n\r\n", true, "bad message: a header line over 8 KiB"},
      {"100 header lines", manyHeaders + "\r\n$", true, "M:" + manyHeaders + "\r\n|"},
      {"101 header lines", manyHeaders + "X-H: 1\r\n\r\n", true, "bad message: over 100 header lines"},
      {"a Content-Length that is no number", "RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", true, "bad message: a malformed Content-Length"},
      {"a body over 64 KiB", "RTSP/1.0 200 OK\r\nContent-Length: 70000\r\n\r\n", true, "bad message: a message over 64 KiB"},
  };
  // clang-format on
  for (const Row& row : rows) {
    const std::vector<std::string> items = readerItems(row.stream, {}, row.rtspMessages);
    ASSERT_FALSE(items.empty()) << row.name;
    EXPECT_EQ(items.back(), row.last) << row.name;
  }
}

}  // namespace
