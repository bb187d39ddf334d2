// Fault injection against a whole session over loopback: the server sends
// each prefix of all it would say (answering each request as usual), then
// closes; with and without Content-Length. The host sees either a false
// start or the end of the receive thread, with exactly one callback, and
// every descriptor opened is closed again.
#include <gtest/gtest.h>

#include "support/open_descriptors.h"
#include "support/session_support.h"

TEST(Faults, CutAfterEveryByte) {
  using namespace rtsptest;
  std::string payload(300, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + 1);
  const std::vector<std::string> frames = {frame('$', 0, payload.substr(0, 40)),
                                           frame('%', 1, "dropped"), frame('$', 1, ""),
                                           frame('$', 0, payload)};
  for (const bool withLength : {true, false}) {
    Handshake h(0, kSdp, withLength);
    std::size_t handshakeBytes = 0, total = 0;
    for (const std::string& answer : h.answers) handshakeBytes += answer.size();
    for (const std::string& f : frames) h.answers.back() += f;
    for (const std::string& answer : h.answers) total += answer.size();
    for (std::size_t cut = 0; cut <= total; ++cut) {
      SCOPED_TRACE("cut after " + std::to_string(cut) + (withLength ? "" : ", no length"));
      std::vector<std::string> answers, delivered;  // the "$" frames wholly inside the cut
      for (std::size_t left = cut, i = 0; left > 0; left -= answers.back().size(), ++i) {
        answers.push_back(h.answers[i].substr(0, left));
      }
      std::size_t end = handshakeBytes;
      for (const std::string& f : frames) {
        if ((end += f.size()) <= cut && f[0] == '$') delivered.push_back(f.substr(4));
      }
      const int descriptorsBefore = openDescriptors();
      const SessionRun o(answers, End::kClose, 5);
      EXPECT_EQ(o.started, cut >= handshakeBytes);
      EXPECT_EQ(o.log->notes, 1);
      EXPECT_EQ(o.log->packets, delivered);
      EXPECT_EQ(openDescriptors(), descriptorsBefore);
      if (::testing::Test::HasFailure()) return;  // one broken offset is enough to read
    }
  }
}

// The same with keep-alive on (never due in the run) and RTSP messages of the
// server between the frames: every cut still ends in one callback, with the
// whole frames before it delivered and the messages skipped or answered.
TEST(Faults, CutAfterEveryByteWithMessagesInTheStream) {
  using namespace rtsptest;
  const std::vector<std::string> items = {
      frame('$', 0, "first"), "RTSP/1.0 200 OK\r\nCSeq: 9\r\nContent-Length: 4\r\n\r\n$abc",
      frame('$', 1, ""), "OPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n", frame('$', 0, "last")};
  Handshake h(0);
  std::size_t handshakeBytes = 0;
  for (const std::string& answer : h.answers) handshakeBytes += answer.size();
  for (const std::string& item : items) h.answers.back() += item;
  std::size_t streamBytes = 0;
  for (const std::string& item : items) streamBytes += item.size();
  RTSPSessionOptions options;
  options.keepAliveSec = 60;
  options.diagnostics = [](const std::string&) {};
  for (std::size_t cut = handshakeBytes; cut <= handshakeBytes + streamBytes; ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut));
    std::vector<std::string> answers, delivered;
    for (std::size_t left = cut, i = 0; left > 0; left -= answers.back().size(), ++i) {
      answers.push_back(h.answers[i].substr(0, left));
    }
    std::size_t end = handshakeBytes;
    for (const std::string& item : items) {
      if ((end += item.size()) <= cut && item[0] == '$') delivered.push_back(item.substr(4));
    }
    const int descriptorsBefore = openDescriptors();
    const SessionRun o(answers, End::kClose, 5, false, 0, false, options);
    EXPECT_TRUE(o.started);
    EXPECT_EQ(o.log->notes, 1);
    EXPECT_EQ(o.log->packets, delivered);
    // Closed, or reset when the answer to the server's request came too late.
    EXPECT_EQ(o.d.lastFailure().step, RTSP_STEP_RECEIVE);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    if (::testing::Test::HasFailure()) return;
  }
}
