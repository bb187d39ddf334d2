// The two receive timeouts with the product's real values (label "slow"):
// 20 s without data end reception, 5 s without the DESCRIBE body fail the
// start.
#include <gtest/gtest.h>

#include "support/scripted_server.h"

TEST(SlowTimeouts, TwentySecondsWithoutDataFiveWithoutTheDescribeBody) {
  using namespace rtsptest;
  for (const bool describe : {false, true}) {
    std::vector<std::string> answers = Handshake(0).answers;
    answers.back() += frame('$', 0, "x");
    if (describe) answers = {answers[0], reply("200 OK", 2, "Content-Length: 100\r\n", "v=0\r\n")};
    ScriptedServer server(ScriptedServer::inOrder(answers, false));
    SessionConfig config;
    config.recvSec = 20;
    config.sdpSec = 5;
    Session s(server.port, config);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.start(), !describe);
    s.await([&] { return s.notes > 0; }, 30000);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    s.d.stop();
    EXPECT_EQ(s.log->packets.size(), describe ? 0u : 1u);
    EXPECT_GE(took.count(), describe ? 4.9 : 19.9);
    EXPECT_LT(took.count(), describe ? 8 : 25);
  }
}
