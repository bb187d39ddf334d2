// RTSP authentication: challenge parsing, the choice of scheme, Digest
// responses against the RFC worked examples, Basic, and the hiding of
// credentials in diagnostics.
#include "session/auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "scheme<token68>{name=value;...}" per challenge, joined by " | ".
std::string describeChallenges(const std::vector<std::string>& headers) {
  std::string out;
  for (const AuthChallenge& c : parseAuthChallenges(headers)) {
    out += (out.empty() ? "" : " | ") + c.scheme;
    if (!c.token68.empty()) out += "<" + c.token68 + ">";
    std::string params;
    for (const auto& p : c.params) params += (params.empty() ? "" : ";") + p.first + "=" + p.second;
    out += "{" + params + "}";
  }
  return out;
}

// An Authorization value read back with the challenge parser (same syntax).
AuthChallenge parseCredentials(const std::string& value) {
  const std::vector<AuthChallenge> parsed = parseAuthChallenges({value});
  return parsed.empty() ? AuthChallenge{} : parsed.front();
}

TEST(AuthChallengeParsing, ReadsEveryChallengeOfEveryHeader) {
  // clang-format off
  struct Case { const char* name; std::vector<std::string> headers; std::string challenges; };
  const Case cases[] = {
      {"one header per challenge", {R"(Digest realm="cam", nonce="n1")", R"(Basic realm="cam")"},
       "Digest{realm=cam;nonce=n1} | Basic{realm=cam}"},
      {"several challenges in one header", {R"(Basic realm="a", Digest realm="b", nonce="n", algorithm=SHA-256, Digest realm="c")"},
       "Basic{realm=a} | Digest{realm=b;nonce=n;algorithm=SHA-256} | Digest{realm=c}"},
      {"quoted strings hold commas, escaped quotes and backslashes", {R"(Digest realm="a, b=\"c\" \\d", nonce="x,y")"}, R"(Digest{realm=a, b="c" \d;nonce=x,y})"},
      {"names lower-cased, schemes as sent, unknown parameters kept", {R"(DIGEST REALM="r", x-Vendor=UTF-8)"}, "DIGEST{realm=r;x-vendor=UTF-8}"},
      {"white space, empty elements, '/' ':' '+' '=' in unquoted values", {R"(, Digest  realm = "r" ,, nonce=ab/cd:ef+== , ,Basic)"},
       "Digest{realm=r;nonce=ab/cd:ef+==} | Basic{}"},
      {"a token68 challenge and a challenge after it", {"Negotiate YII+/a==, Basic realm=x"},
       "Negotiate<YII+/a==>{} | Basic{realm=x}"},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(describeChallenges(c.headers), c.challenges) << c.name;
}

// The inputs of the worked example of RFC 7616 3.9.1 or RFC 2617 3.5.
DigestInput rfcExample(bool rfc7616, DigestAlgorithm algorithm, std::uint32_t nc = 1) {
  DigestInput in;
  in.algorithm = algorithm;
  in.user = "Mufasa";
  in.password = rfc7616 ? "Circle of Life" : "Circle Of Life";
  in.realm = rfc7616 ? "http-auth@example.org" : "testrealm@host.com";
  in.nonce = rfc7616 ? "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v"
                     : "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  in.method = "GET";
  in.uri = "/dir/index.html";
  in.qopAuth = true;
  in.nc = nc;
  in.cnonce = rfc7616 ? "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ" : "0a4f113b";
  return in;
}

TEST(AuthDigestResponse, MatchesTheRfcWorkedExamples) {
  DigestInput rtspRequest = rfcExample(false, DigestAlgorithm::kSha256Sess, 10);
  rtspRequest.method = "DESCRIBE";
  rtspRequest.uri = "rtsp://10.0.0.1:554/live";
  // clang-format off
  struct Case { const char* name; DigestInput input; std::string response; };
  // The -sess values were computed independently with Python's hashlib.
  const Case cases[] = {
      {"RFC 7616 3.9.1, SHA-256", rfcExample(true, DigestAlgorithm::kSha256), "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
      {"RFC 7616 3.9.1, MD5", rfcExample(true, DigestAlgorithm::kMd5), "8ca523f5e9506fed4657c9700eebdbec"},
      {"RFC 2617 3.5", rfcExample(false, DigestAlgorithm::kMd5), "6629fae49393a05397450978507c4ef1"},
      {"SHA-256-sess, nc 10, an RTSP request", rtspRequest, "c8d5d170040305265fc3ec73d61e7240226be5fceee42c79526978d102fddeb4"},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(digestResponse(c.input), c.response) << c.name;
}

TEST(AuthBasic, EncodesUserColonPasswordInBase64) {
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("\xfb\xff\xbf"), "+/+/");
  EXPECT_EQ(basicCredentials("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(AuthScheme, PrefersDigestSha256ThenDigestMd5ThenBasic) {
  const std::string kUnsupported = "the server offers no supported authentication scheme";
  const std::string kOnlyAuthInt = "the server offers only qop=auth-int";
  const std::string kMalformed = "the server's Digest challenge is malformed";
  // clang-format off
  struct Case { const char* name; std::vector<std::string> headers; bool accepted;
                std::string chosen; };  // scheme and algorithm of the answer, or the refusal
  const Case cases[] = {
      {"all three offered, SHA-256 last", {R"(Basic realm="r")", R"(Digest realm="r", nonce="n")", R"(Digest realm="r", nonce="n", algorithm=SHA-256, qop="auth")"}, true, "Digest SHA-256"},
      {"SHA-256-sess over MD5", {R"(Digest realm="r", nonce="n", algorithm=MD5, Digest realm="r", )" R"(nonce="n", algorithm=sha-256-SESS)"}, true, "Digest SHA-256-sess"},
      {"Digest MD5 over Basic, scheme names in any case", {R"(basic realm="r", dIgEsT realm="r", nonce="n")"}, true, "Digest (none)"},
      {"auth-int listed with auth", {R"(Digest realm="r", nonce="n", qop="auth-int, auth")"}, true, "Digest (none)"},
      {"auth-int alone", {R"(Digest realm="r", nonce="n", qop="auth-int")"}, false, kOnlyAuthInt},
      {"no Basic while an unusable Digest is offered", {R"(Digest realm="r", nonce="n", qop="auth-int")", R"(Basic realm="r")"}, false, kOnlyAuthInt},
      {"an unsupported algorithm", {R"(Digest realm="r", nonce="n", algorithm=SHA-512-256)"},
       false, kUnsupported + " (Digest SHA-512-256)"},
      {"a Digest challenge without nonce", {R"(Digest realm="r")"}, false, kMalformed},
      {"a nonce that would break the header", {"Digest realm=r, nonce=\"a\r\nX-Injected: 1\""},
       false, kMalformed},
      {"no challenge", {}, false, "the server sent no authentication challenge"},
  };
  // clang-format on
  for (const Case& c : cases) {
    RtspAuthenticator auth("user", "pass");
    std::string detail;
    EXPECT_EQ(auth.onChallenge(c.headers, detail), c.accepted) << c.name;
    EXPECT_EQ(auth.ready(), c.accepted) << c.name;
    const AuthChallenge answer = parseCredentials(auth.authorization("DESCRIBE", "rtsp://h/s"));
    const std::string algorithm = answer.has("algorithm") ? answer.param("algorithm") : "(none)";
    const std::string chosen = !c.accepted                 ? detail
                               : answer.scheme == "Digest" ? "Digest " + algorithm
                                                           : answer.scheme;
    EXPECT_EQ(chosen, c.chosen) << c.name;
  }
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
  DigestInput expected = rfcExample(true, DigestAlgorithm::kSha256, 2);
  expected.realm = "cam";
  expected.nonce = "n1";
  expected.method = "SETUP";
  expected.uri = uri;
  expected.cnonce = second.param("cnonce");
  EXPECT_EQ(second.param("response"), digestResponse(expected));
  // The same nonce again continues the count; a new one (stale) restarts it.
  ASSERT_TRUE(auth.onChallenge({R"(Digest realm="cam", nonce="n1", qop="auth")"}, detail));
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000003");
  ASSERT_TRUE(
      auth.onChallenge({R"(Digest realm="cam", nonce="n2", qop="auth", stale=TRUE)"}, detail));
  EXPECT_TRUE(auth.stale());
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000001");
}

// What one challenge makes of the credentials: the RFC 2069 form without
// qop, the hashed user name with userhash, nothing before a challenge, and
// the accepted challenge kept after a refused one.
TEST(AuthAuthenticator, AnswersTheChallengeItAccepted) {
  struct Case {
    const char* name;
    std::string user, password;
    std::vector<std::vector<std::string>> challenges;  // each offered in turn
    std::string method, uri, answer;  // the Authorization value, or "username=" its user name
  };
  // clang-format off
  const Case cases[] = {
      {"RFC 2069", "Mufasa", "Circle Of Life", {{R"(Digest realm="testrealm@host.com", nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093")"}}, "GET", "/dir/index.html", R"(Digest username="Mufasa", realm="testrealm@host.com", nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093", uri="/dir/index.html", response="670fd8c2df070c60b045671b8b24ff02")"},
      {"userhash", "Mufasa", "Circle of Life", {{R"(Digest realm="http-auth@example.org", nonce="n", algorithm=SHA-256, userhash=true)"}}, "GET", "/", "username=a947aad205e80e429958a387394944c6b496301e79f89d35a4cc23b6ee12b5b6"},
      {"before a challenge", "u", "p", {}, "OPTIONS", "*", ""},
      {"Basic kept after a refused Negotiate", "u", "p", {{R"(Basic realm="r")"}, {"Negotiate"}}, "OPTIONS", "*", "Basic dTpw"},
  };
  // clang-format on
  for (const Case& c : cases) {
    RtspAuthenticator auth(c.user, c.password);
    std::string detail;
    for (const std::vector<std::string>& challenge : c.challenges)
      auth.onChallenge(challenge, detail);
    const std::string answer = auth.authorization(c.method, c.uri);
    EXPECT_EQ(c.answer.compare(0, 9, "username=") == 0
                  ? "username=" + parseCredentials(answer).param("username")
                  : answer,
              c.answer)
        << c.name;
  }
}

TEST(AuthHideCredentials, ReplacesOnlyTheAuthorizationValue) {
  // clang-format off
  struct Case { std::string text; std::string shown; };
  const Case cases[] = {
      {"DESCRIBE rtsp://h/s RTSP/1.0\r\nauthorization:Digest username=\"u\"\r\nCSeq: 3\r\n", "DESCRIBE rtsp://h/s RTSP/1.0\r\nauthorization: <credentials hidden>\r\nCSeq: 3\r\n"},
      {"X-Note: Authorization: kept\r\n", "X-Note: Authorization: kept\r\n"},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(hideCredentials(c.text), c.shown) << c.text;
}

}  // namespace
