// Fault injection against a whole session over loopback: the server sends
// each prefix of all it would say (answering each request as usual), then
// closes. The host sees either a false start or the end of reception, with
// exactly one callback, the whole frames before the cut, and every
// descriptor opened closed again.
#include <gtest/gtest.h>

#include "support/open_descriptors.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// Cuts the handshake (with or without Content-Length) followed by `items`
// after every byte: of the handshake too, unless `fromStream`.
void cutAfterEveryByte(const std::vector<std::string>& items, bool withLength, bool fromStream,
                       const RTSPSessionOptions& options) {
  Handshake h(0, kSdp, withLength);
  std::size_t handshakeBytes = 0, total = 0;
  for (const std::string& answer : h.answers) handshakeBytes += answer.size();
  for (const std::string& item : items) h.answers.back() += item;
  for (const std::string& answer : h.answers) total += answer.size();
  for (std::size_t cut = fromStream ? handshakeBytes : 0; cut <= total; ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + (withLength ? "" : ", no length"));
    std::vector<std::string> answers, delivered;  // the "$" frames wholly inside the cut
    for (std::size_t left = cut, i = 0; left > 0; left -= answers.back().size(), ++i) {
      answers.push_back(h.answers[i].substr(0, left));
    }
    std::size_t end = handshakeBytes;
    for (const std::string& item : items) {
      if ((end += item.size()) <= cut && item[0] == '$') delivered.push_back(item.substr(4));
    }
    const int descriptorsBefore = openDescriptors();
    {
      ScriptedServer server(ScriptedServer::inOrder(answers, true));
      SessionConfig config;
      config.options = options;
      Session s(server.port, config);
      EXPECT_EQ(s.start(), cut >= handshakeBytes);
      s.await([&] { return s.notes > 0; });
      s.d.stop();
      EXPECT_EQ(s.notes, 1);
      EXPECT_EQ(s.log->packets, delivered);
      EXPECT_EQ(s.d.lastFailure().step == RTSP_STEP_RECEIVE, cut >= handshakeBytes);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    if (::testing::Test::HasFailure()) return;  // one broken offset is enough to read
  }
}

// The frames of every channel, '%' ones dropped; then, with keep-alive on
// (never due in the run), RTSP messages of the server between the frames:
// skipped or answered, and every cut still ends in one callback.
TEST(Faults, CutAfterEveryByte) {
  std::string payload(300, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + 1);
  const std::vector<std::string> frames = {frame('$', 0, payload.substr(0, 40)),
                                           frame('%', 1, "dropped"), frame('$', 1, ""),
                                           frame('$', 0, payload)};
  for (const bool withLength : {true, false}) cutAfterEveryByte(frames, withLength, false, {});
  RTSPSessionOptions options;
  options.keepAliveSec = 60;
  options.diagnostics = [](const std::string&) {};
  cutAfterEveryByte(
      {frame('$', 0, "first"), "RTSP/1.0 200 OK\r\nCSeq: 9\r\nContent-Length: 4\r\n\r\n$abc",
       frame('$', 1, ""), "OPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n", frame('$', 0, "last")},
      true, true, options);
}

}  // namespace
