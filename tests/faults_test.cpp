// Fault injection against a whole session over loopback: the server breaks
// the conversation off after every byte, or resets it. The host sees either a
// false start or the end of the receive thread, with exactly one callback;
// stop() returns promptly; every descriptor opened is closed again.
#include <dirent.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/session_support.h"

namespace {

using namespace rtsptest;

int openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

// Runs one session against `server` (scripted, not started) and checks the
// outcome: a false start, or `packets` deliveries before the thread ended.
void expectOutcome(ScriptServer& server, bool started, std::size_t packets) {
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  {
    auto d = makeSession(server.port(), log, &notes);
    CoutCapture quiet;
    EXPECT_EQ(d->startRTSPDownload(false, false), started);
    if (started) {
      EXPECT_TRUE(notes.waitCount(1));
    }
    const auto stopAt = std::chrono::steady_clock::now();
    d->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(1));
  }
  EXPECT_EQ(notes.count, 1);
  EXPECT_EQ(log->snapshot().size(), started ? 1 + packets : 0u);
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

// The server sends each prefix of everything it would say (waiting for each
// request as usual), then closes; with and without Content-Length.
TEST(Faults, CutAfterEveryByte) {
  std::string payload(300, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + 1);
  const std::vector<std::string> frames = {frame('$', 0, payload.substr(0, 40)),
                                           frame('%', 1, "dropped"), frame('$', 1, ""),
                                           frame('$', 0, payload)};
  for (const bool withLength : {true, false}) {
    std::size_t handshakeBytes = 0, total = 0;
    for (const auto& step : handshake(0, withLength)) handshakeBytes += step.second.size();
    total = handshakeBytes;
    for (const std::string& f : frames) total += f.size();
    const int descriptorsBefore = openDescriptors();
    for (std::size_t cut = 0; cut <= total; ++cut) {
      SCOPED_TRACE("cut after " + std::to_string(cut) + (withLength ? "" : ", no length"));
      {
        ScriptServer server;
        ScriptServer::Script& s = server.connection();
        std::size_t left = cut;
        for (const auto& step : handshake(server.port(), withLength)) {
          if (left == 0) break;
          s.expect(step.first).send(step.second.substr(0, left));
          left -= std::min(left, step.second.size());
        }
        std::size_t packets = 0;
        for (const std::string& f : frames) {
          if (left == 0) break;
          s.send(f.substr(0, left));
          packets += left >= f.size() && f[0] == '$';
          left -= std::min(left, f.size());
        }
        s.close();
        expectOutcome(server, cut >= handshakeBytes, packets);
      }
      ASSERT_EQ(openDescriptors(), descriptorsBefore);
      if (::testing::Test::HasFailure()) return;  // one broken offset is enough to read
    }
  }
}

TEST(Faults, ResetInsideTheDescribeReply) {
  const int descriptorsBefore = openDescriptors();
  {
    ScriptServer server;
    const auto steps = handshake(server.port());
    server.connection()
        .expect(steps[0].first)
        .send(steps[0].second)
        .expect(steps[1].first)
        .send(steps[1].second.substr(0, steps[1].second.size() - 40))
        .pause(50)
        .reset();
    expectOutcome(server, false, 0);
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

}  // namespace
