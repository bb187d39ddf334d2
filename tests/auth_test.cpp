// RTSP authentication: challenge parsing, the choice of scheme, Digest
// responses against the RFC worked examples, Basic, and the hiding of
// credentials in diagnostics.
#include "session/auth.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// "scheme{name=value;...}" per challenge, joined by " | "; a token68 shows
// as "scheme<token68>".
std::string describeChallenges(const std::vector<AuthChallenge>& challenges) {
  std::string out;
  for (const AuthChallenge& c : challenges) {
    if (!out.empty()) out += " | ";
    out += c.scheme;
    if (!c.token68.empty()) out += "<" + c.token68 + ">";
    out += "{";
    for (size_t i = 0; i < c.params.size(); ++i) {
      out += (i ? ";" : "") + c.params[i].first + "=" + c.params[i].second;
    }
    out += "}";
  }
  return out;
}

// The parameters of an Authorization value, read with the challenge parser
// (credentials have the same syntax).
AuthChallenge parseCredentials(const std::string& value) {
  const std::vector<AuthChallenge> parsed = parseAuthChallenges({value});
  return parsed.empty() ? AuthChallenge{} : parsed.front();
}

TEST(AuthChallengeParsing, ReadsEveryChallengeOfEveryHeader) {
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    std::string challenges;
  };
  const Case cases[] = {
      {/*.name=*/"one header per challenge",
       /*.headers=*/{R"(Digest realm="cam", nonce="n1")", R"(Basic realm="cam")"},
       /*.challenges=*/"Digest{realm=cam;nonce=n1} | Basic{realm=cam}"},
      {/*.name=*/"several challenges in one header",
       /*.headers=*/
       {R"(Basic realm="a", Digest realm="b", nonce="n", algorithm=SHA-256, Digest realm="c", nonce="m")"},
       /*.challenges=*/
       "Basic{realm=a} | Digest{realm=b;nonce=n;algorithm=SHA-256} | Digest{realm=c;nonce=m}"},
      {/*.name=*/"quoted strings hold commas, escaped quotes and backslashes",
       /*.headers=*/{R"(Digest realm="a, b=\"c\" \\d", nonce="x,y")"},
       /*.challenges=*/R"(Digest{realm=a, b="c" \d;nonce=x,y})"},
      {/*.name=*/"unknown parameters are kept, names lower-cased, schemes as sent",
       /*.headers=*/{R"(DIGEST REALM="r", Nonce="n", Charset=UTF-8, x-vendor="v")"},
       /*.challenges=*/"DIGEST{realm=r;nonce=n;charset=UTF-8;x-vendor=v}"},
      {/*.name=*/"white space around '=' and empty list elements",
       /*.headers=*/{R"(, Digest  realm = "r" ,, nonce=n , ,Basic)"},
       /*.challenges=*/"Digest{realm=r;nonce=n} | Basic{}"},
      {/*.name=*/"unquoted values may hold '/' and ':'",
       /*.headers=*/{"Digest realm=r, nonce=ab/cd:ef+=="},
       /*.challenges=*/"Digest{realm=r;nonce=ab/cd:ef+==}"},
      {/*.name=*/"a token68 challenge and a challenge after it",
       /*.headers=*/{"Negotiate YII+/a==, Basic realm=x"},
       /*.challenges=*/"Negotiate<YII+/a==>{} | Basic{realm=x}"},
      {/*.name=*/"a repeated parameter keeps its first value",
       /*.headers=*/{R"(Digest nonce="1", nonce="2")"},
       /*.challenges=*/"Digest{nonce=1}"},
      {/*.name=*/"an unterminated quoted string ends with the header",
       /*.headers=*/{R"(Digest realm="open, nonce="n)"},
       /*.challenges=*/"Digest{realm=open, nonce=}"},
      {/*.name=*/"parameters before any scheme and non-token bytes are skipped",
       /*.headers=*/{R"(realm="x", @@@, Basic realm="y")", ""},
       /*.challenges=*/"Basic{realm=y}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describeChallenges(parseAuthChallenges(c.headers)), c.challenges) << c.name;
  }
}

TEST(AuthDigestResponse, MatchesTheRfcWorkedExamples) {
  const std::string kNonce7616 = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
  const std::string kCnonce7616 = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
  const std::string kNonce2617 = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  auto rfc7616 = [&](DigestAlgorithm algorithm) {
    return DigestInput{/*.algorithm=*/algorithm,
                       /*.user=*/"Mufasa",
                       /*.password=*/"Circle of Life",
                       /*.realm=*/"http-auth@example.org",
                       /*.nonce=*/kNonce7616,
                       /*.method=*/"GET",
                       /*.uri=*/"/dir/index.html",
                       /*.qopAuth=*/true,
                       /*.nc=*/1,
                       /*.cnonce=*/kCnonce7616};
  };
  auto rfc2617 = [&](DigestAlgorithm algorithm, bool qop, std::uint32_t nc) {
    return DigestInput{/*.algorithm=*/algorithm,
                       /*.user=*/"Mufasa",
                       /*.password=*/"Circle Of Life",
                       /*.realm=*/"testrealm@host.com",
                       /*.nonce=*/kNonce2617,
                       /*.method=*/"GET",
                       /*.uri=*/"/dir/index.html",
                       /*.qopAuth=*/qop,
                       /*.nc=*/nc,
                       /*.cnonce=*/"0a4f113b"};
  };
  DigestInput rtspSha256Sess = rfc2617(DigestAlgorithm::kSha256Sess, true, 10);
  rtspSha256Sess.method = "DESCRIBE";
  rtspSha256Sess.uri = "rtsp://10.0.0.1:554/live";
  struct Case {
    const char* name;
    DigestInput input;
    std::string response;
  };
  const Case cases[] = {
      {/*.name=*/"RFC 7616 3.9.1, SHA-256",
       /*.input=*/rfc7616(DigestAlgorithm::kSha256),
       /*.response=*/"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
      {/*.name=*/"RFC 7616 3.9.1, MD5",
       /*.input=*/rfc7616(DigestAlgorithm::kMd5),
       /*.response=*/"8ca523f5e9506fed4657c9700eebdbec"},
      {/*.name=*/"RFC 2617 3.5",
       /*.input=*/rfc2617(DigestAlgorithm::kMd5, true, 1),
       /*.response=*/"6629fae49393a05397450978507c4ef1"},
      // The values below were computed independently with Python's hashlib
      // from the definitions of RFC 2069 and RFC 7616 (-sess).
      {/*.name=*/"RFC 2069 form without qop",
       /*.input=*/rfc2617(DigestAlgorithm::kMd5, false, 1),
       /*.response=*/"670fd8c2df070c60b045671b8b24ff02"},
      {/*.name=*/"MD5-sess, nc 2",
       /*.input=*/rfc2617(DigestAlgorithm::kMd5Sess, true, 2),
       /*.response=*/"d16df0df0d92cef8935129145e21b5e1"},
      {/*.name=*/"SHA-256-sess, nc 10, an RTSP request",
       /*.input=*/rtspSha256Sess,
       /*.response=*/"c8d5d170040305265fc3ec73d61e7240226be5fceee42c79526978d102fddeb4"},
  };
  for (const Case& c : cases) EXPECT_EQ(digestResponse(c.input), c.response) << c.name;
}

TEST(AuthBasic, EncodesUserColonPasswordInBase64) {
  struct Case {
    std::string bytes;
    std::string base64;
  };
  const Case cases[] = {
      {/*.bytes=*/"", /*.base64=*/""},
      {/*.bytes=*/"f", /*.base64=*/"Zg=="},
      {/*.bytes=*/"fo", /*.base64=*/"Zm8="},
      {/*.bytes=*/"foo", /*.base64=*/"Zm9v"},
      {/*.bytes=*/std::string("\xfb\xff\xbf", 3), /*.base64=*/"+/+/"},
  };
  for (const Case& c : cases) EXPECT_EQ(base64Encode(c.bytes), c.base64) << c.bytes;
  // RFC 7617 section 2.
  EXPECT_EQ(basicCredentials("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(AuthScheme, PrefersDigestSha256ThenDigestMd5ThenBasic) {
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    bool accepted;
    std::string chosen;  // scheme and algorithm of the answer, or the refusal's detail
  };
  const Case cases[] = {
      {/*.name=*/"all three offered, SHA-256 last",
       /*.headers=*/
       {R"(Basic realm="r")", R"(Digest realm="r", nonce="n")",
        R"(Digest realm="r", nonce="n", algorithm=SHA-256, qop="auth")"},
       /*.accepted=*/true,
       /*.chosen=*/"Digest SHA-256"},
      {/*.name=*/"SHA-256-sess over MD5",
       /*.headers=*/
       {R"(Digest realm="r", nonce="n", algorithm=MD5, Digest realm="r", nonce="n", algorithm=sha-256-SESS)"},
       /*.accepted=*/true,
       /*.chosen=*/"Digest SHA-256-sess"},
      {/*.name=*/"Digest MD5 over Basic, scheme names in any case",
       /*.headers=*/{R"(basic realm="r", dIgEsT realm="r", nonce="n")"},
       /*.accepted=*/true,
       /*.chosen=*/"Digest (none)"},
      {/*.name=*/"Basic alone",
       /*.headers=*/{R"(Basic realm="r")"},
       /*.accepted=*/true,
       /*.chosen=*/"Basic"},
      {/*.name=*/"auth-int listed with auth",
       /*.headers=*/{R"(Digest realm="r", nonce="n", qop="auth-int, auth")"},
       /*.accepted=*/true,
       /*.chosen=*/"Digest (none)"},
      {/*.name=*/"auth-int alone",
       /*.headers=*/{R"(Digest realm="r", nonce="n", qop="auth-int")"},
       /*.accepted=*/false,
       /*.chosen=*/"the server offers only qop=auth-int"},
      {/*.name=*/"no Basic while an unusable Digest is offered",
       /*.headers=*/{R"(Digest realm="r", nonce="n", qop="auth-int")", R"(Basic realm="r")"},
       /*.accepted=*/false,
       /*.chosen=*/"the server offers only qop=auth-int"},
      {/*.name=*/"an unsupported algorithm",
       /*.headers=*/{R"(Digest realm="r", nonce="n", algorithm=SHA-512-256)"},
       /*.accepted=*/false,
       /*.chosen=*/"the server offers no supported authentication scheme (Digest SHA-512-256)"},
      {/*.name=*/"an unsupported scheme",
       /*.headers=*/{"Negotiate"},
       /*.accepted=*/false,
       /*.chosen=*/"the server offers no supported authentication scheme (Negotiate)"},
      {/*.name=*/"a Digest challenge without nonce",
       /*.headers=*/{R"(Digest realm="r")"},
       /*.accepted=*/false,
       /*.chosen=*/"the server's Digest challenge is malformed"},
      {/*.name=*/"a nonce that would break the header",
       /*.headers=*/{"Digest realm=r, nonce=\"a\r\nX-Injected: 1\""},
       /*.accepted=*/false,
       /*.chosen=*/"the server's Digest challenge is malformed"},
      {/*.name=*/"no challenge",
       /*.headers=*/{},
       /*.accepted=*/false,
       /*.chosen=*/"the server sent no authentication challenge"},
  };
  for (const Case& c : cases) {
    RtspAuthenticator auth("user", "pass");
    std::string detail;
    const bool accepted = auth.onChallenge(c.headers, detail);
    EXPECT_EQ(accepted, c.accepted) << c.name;
    EXPECT_EQ(auth.ready(), c.accepted) << c.name;
    if (!accepted) {
      EXPECT_EQ(detail, c.chosen) << c.name;
      continue;
    }
    const AuthChallenge answer = parseCredentials(auth.authorization("DESCRIBE", "rtsp://h/s"));
    std::string chosen = answer.scheme;
    if (answer.scheme == "Digest") {
      chosen += " " + (answer.has("algorithm") ? answer.param("algorithm") : "(none)");
    }
    EXPECT_EQ(chosen, c.chosen) << c.name;
  }
}

TEST(AuthDigest, AnswersWithCountedNcFreshCnonceAndEchoedOpaque) {
  RtspAuthenticator auth("Mufasa", "Circle of Life");
  std::string detail;
  ASSERT_TRUE(auth.onChallenge(
      {R"(Digest realm="cam", nonce="n1", opaque="op\"q", qop="auth", algorithm=SHA-256)"},
      detail));
  EXPECT_FALSE(auth.stale());
  std::set<std::string> cnonces;
  for (std::uint32_t nc = 1; nc <= 3; ++nc) {
    const std::string uri = "rtsp://10.1.2.3:554/live/ch" + std::to_string(nc);
    const std::string value = auth.authorization("SETUP", uri);
    const AuthChallenge answer = parseCredentials(value);
    char ncText[9];
    std::snprintf(ncText, sizeof ncText, "%08x", nc);
    EXPECT_EQ(answer.param("nc"), ncText) << value;
    EXPECT_EQ(answer.param("uri"), uri) << value;
    EXPECT_EQ(answer.param("opaque"), "op\"q") << value;
    EXPECT_EQ(answer.param("qop"), "auth") << value;
    EXPECT_EQ(answer.param("username"), "Mufasa") << value;
    EXPECT_EQ(answer.param("cnonce").size(), 32u) << value;
    cnonces.insert(answer.param("cnonce"));
    const DigestInput expected{/*.algorithm=*/DigestAlgorithm::kSha256,
                               /*.user=*/"Mufasa",
                               /*.password=*/"Circle of Life",
                               /*.realm=*/"cam",
                               /*.nonce=*/"n1",
                               /*.method=*/"SETUP",
                               /*.uri=*/uri,
                               /*.qopAuth=*/true,
                               /*.nc=*/nc,
                               /*.cnonce=*/answer.param("cnonce")};
    EXPECT_EQ(answer.param("response"), digestResponse(expected)) << value;
  }
  EXPECT_EQ(cnonces.size(), 3u) << "each request has a fresh cnonce";

  // The same nonce again continues the count; a new one (stale) restarts it.
  ASSERT_TRUE(auth.onChallenge({R"(Digest realm="cam", nonce="n1", qop="auth")"}, detail));
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000004");
  ASSERT_TRUE(
      auth.onChallenge({R"(Digest realm="cam", nonce="n2", qop="auth", stale=TRUE)"}, detail));
  EXPECT_TRUE(auth.stale());
  EXPECT_EQ(parseCredentials(auth.authorization("PLAY", "u")).param("nc"), "00000001");
  ASSERT_TRUE(auth.onChallenge({R"(Digest realm="cam", nonce="n3", qop="auth")"}, detail));
  EXPECT_FALSE(auth.stale());
}

TEST(AuthDigest, WithoutQopAnswersInTheRfc2069Form) {
  RtspAuthenticator auth("Mufasa", "Circle Of Life");
  std::string detail;
  ASSERT_TRUE(auth.onChallenge(
      {R"(Digest realm="testrealm@host.com", nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093")"},
      detail));
  EXPECT_EQ(auth.authorization("GET", "/dir/index.html"),
            R"(Digest username="Mufasa", realm="testrealm@host.com", )"
            R"(nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093", uri="/dir/index.html", )"
            R"(response="670fd8c2df070c60b045671b8b24ff02")");
}

TEST(AuthDigest, UserhashSendsTheHashedUserName) {
  RtspAuthenticator auth("Mufasa", "Circle of Life");
  std::string detail;
  ASSERT_TRUE(auth.onChallenge(
      {R"(Digest realm="http-auth@example.org", nonce="n", algorithm=SHA-256, userhash=true)"},
      detail));
  const AuthChallenge answer = parseCredentials(auth.authorization("GET", "/"));
  EXPECT_EQ(answer.param("username"),
            "a947aad205e80e429958a387394944c6b496301e79f89d35a4cc23b6ee12b5b6");
  EXPECT_EQ(answer.param("userhash"), "true");
}

TEST(AuthAuthenticator, AnswersNothingBeforeAChallengeAndKeepsItAfterARefusal) {
  RtspAuthenticator auth("u", "p");
  EXPECT_FALSE(auth.ready());
  EXPECT_EQ(auth.authorization("OPTIONS", "*"), "");
  std::string detail;
  ASSERT_TRUE(auth.onChallenge({R"(Basic realm="r")"}, detail));
  EXPECT_FALSE(auth.onChallenge({"Negotiate"}, detail));
  EXPECT_EQ(auth.authorization("OPTIONS", "*"), "Basic dTpw");
}

TEST(AuthHideCredentials, ReplacesOnlyTheAuthorizationValue) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {/*.text=*/"Authorization: Basic dTpw", /*.shown=*/"Authorization: <credentials hidden>"},
      {/*.text=*/"authorization:Digest username=\"u\"\r\n",
       /*.shown=*/"authorization: <credentials hidden>\r\n"},
      {/*.text=*/"DESCRIBE rtsp://h/s RTSP/1.0\r\nCSeq: 3\r\nAuthorization: Basic dTpw\r\n\r\n",
       /*.shown=*/"DESCRIBE rtsp://h/s RTSP/1.0\r\nCSeq: 3\r\nAuthorization: <credentials "
                  "hidden>\r\n\r\n"},
      {/*.text=*/"X-Note: Authorization: kept\r\n", /*.shown=*/"X-Note: Authorization: kept\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(hideCredentials(c.text), c.shown) << c.text;
}

}  // namespace
