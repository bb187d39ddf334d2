// RTSP authentication: the rows of tests/data/auth.txt (challenge parsing,
// Digest responses against the RFC worked examples, Basic, the choice of
// scheme, the answer to a challenge, the hiding of credentials), and one
// Digest conversation.
#include "session/auth.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/data_rows.h"

namespace {

using rtsptest::split;

// An Authorization value read back with the challenge parser (same syntax).
AuthChallenge parseCredentials(const std::string& value) {
  const std::vector<AuthChallenge> parsed = parseAuthChallenges({value});
  return parsed.empty() ? AuthChallenge{} : parsed.front();
}
std::vector<std::string> headers(const std::string& text) {
  return text.empty() ? std::vector<std::string>{} : split(text, " || ");
}

std::string challenges(const std::string& text) {
  std::string out;
  for (const AuthChallenge& c : parseAuthChallenges(headers(text))) {
    out += (out.empty() ? "" : " | ") + c.scheme;
    if (!c.token68.empty()) out += "<" + c.token68 + ">";
    std::string params;
    for (const auto& p : c.params) params += (params.empty() ? "" : ";") + p.first + "=" + p.second;
    out += "{" + params + "}";
  }
  return out;
}
std::string digest(const std::string& text) {
  const std::vector<std::string> f = split(text, "|");
  DigestInput in;
  if (!parseDigestAlgorithm(f.at(0), in.algorithm)) return "no algorithm " + f[0];
  in.user = f.at(1);
  in.password = f.at(2);
  in.realm = f.at(3);
  in.nonce = f.at(4);
  in.method = f.at(5);
  in.uri = f.at(6);
  in.qopAuth = true;
  in.nc = static_cast<std::uint32_t>(std::stoul(f.at(7)));
  in.cnonce = f.at(8);
  return digestResponse(in);
}
std::string scheme(const std::string& text) {
  RtspAuthenticator auth("user", "pass");
  std::string detail;
  const bool accepted = auth.onChallenge(headers(text), detail);
  if (auth.ready() != accepted) return "ready() disagrees";
  if (!accepted) return "refused: " + detail;
  const AuthChallenge answer = parseCredentials(auth.authorization("DESCRIBE", "rtsp://h/s"));
  if (answer.scheme != "Digest") return answer.scheme;
  return "Digest " + (answer.has("algorithm") ? answer.param("algorithm") : "(none)");
}
std::string answer(const std::string& text) {  // user|password|method|uri|offers
  const std::vector<std::string> f = split(text, "|");
  RtspAuthenticator auth(f.at(0), f.at(1));
  std::string offers, detail;
  for (std::size_t i = 4; i < f.size(); ++i) offers += (i > 4 ? "|" : "") + f[i];
  for (const std::string& offer : headers(offers)) auth.onChallenge({offer}, detail);
  const std::string value = auth.authorization(f.at(2), f.at(3));
  if (value.empty()) return "(none)";
  const std::string user = parseCredentials(value).param("username");
  return user.size() == 64 ? "username=" + user : value;  // a hashed user name alone
}

TEST(Auth, Functions) {
  const std::map<std::string, std::function<std::string(const std::string&)>> functions = {
      {"challenges", challenges},
      {"digest", digest},
      {"base64", base64Encode},
      {"basic",
       [](const std::string& text) {
         return basicCredentials(text.substr(0, text.find('|')), text.substr(text.find('|') + 1));
       }},
      {"scheme", scheme},
      {"answer", answer},
      {"hide", hideCredentials},
  };
  const std::vector<rtsptest::DataRow> rows = rtsptest::dataRows("auth.txt");
  EXPECT_GT(rows.size(), 25u);
  for (const rtsptest::DataRow& row : rows)
    EXPECT_EQ(functions.at(row.function)(row.input), row.output) << row.where;
}

TEST(AuthDigest, AnswersWithCountedNcFreshCnonceAndEchoedOpaque) {
  RtspAuthenticator auth("Mufasa", "Circle of Life");
  std::string detail;
  ASSERT_TRUE(auth.onChallenge(
      {R"(Digest realm="cam", nonce="n1", opaque="op\"q\\", qop="auth", algorithm=SHA-256, stale=false)"},
      detail));
  EXPECT_FALSE(auth.stale());
  const std::string uri = "rtsp://10.1.2.3:554/live";
  const AuthChallenge first = parseCredentials(auth.authorization("SETUP", uri));
  const AuthChallenge second = parseCredentials(auth.authorization("SETUP", uri));
  EXPECT_EQ(second.param("nc"), "00000002");
  EXPECT_EQ(second.param("opaque"), "op\"q\\");
  EXPECT_NE(second.param("cnonce"), first.param("cnonce"));
  EXPECT_EQ(second.param("response"), digest("SHA-256|Mufasa|Circle of Life|cam|n1|SETUP|" + uri +
                                             "|2|" + second.param("cnonce")));
  // The same nonce again continues the count; a new one (stale) restarts it.
  ASSERT_TRUE(auth.onChallenge({R"(Digest realm="cam", nonce="n1", qop="auth")"}, detail));
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000003");
  ASSERT_TRUE(
      auth.onChallenge({R"(Digest realm="cam", nonce="n2", qop="auth", stale=TRUE)"}, detail));
  EXPECT_TRUE(auth.stale());
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000001");
}

}  // namespace
