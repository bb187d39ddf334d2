// The two receive timeouts with the product's real values (label "slow"):
// 20 s without data end the receive thread, 5 s without the DESCRIBE body
// fail the start.
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

TEST(SlowTimeouts, TwentySecondsWithoutDataFiveWithoutTheDescribeBody) {
  using namespace rtsptest;
  for (const bool describe : {false, true}) {
    std::vector<std::string> answers = Handshake(0).answers;
    answers.back() += frame('$', 0, "x");
    if (describe) answers = {answers[0], reply("200 OK", 2, "Content-Length: 100\r\n", "v=0\r\n")};
    const auto start = std::chrono::steady_clock::now();
    const SessionRun o(answers, End::kReadOn, 30, false, 0, true);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(o.started, !describe);
    EXPECT_EQ(o.log->packets.size(), describe ? 0u : 1u);
    EXPECT_TRUE(took.count() >= (describe ? 4.9 : 19.9) && took.count() < (describe ? 8 : 25))
        << took.count();
  }
}
