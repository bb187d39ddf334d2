// Fuzz target: the WWW-Authenticate parser and the authenticator's answer.
// The input is cut at LF into header values. Checks: every challenge has a
// token scheme and lower-case parameter names; an accepted challenge gives
// an Authorization value without control characters that parses back to the
// same credentials (quoting survives any realm or nonce) and whose Digest
// response is the one computed from them; the diagnostics show none of it;
// a refused challenge explains itself and leaves the authenticator unready.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "session/auth.h"

#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto isUpper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
  const std::vector<std::string> values = splitAt(textOf(data, size), "\n");

  for (const AuthChallenge& c : parseAuthChallenges(values)) {
    check(!c.scheme.empty());
    for (const auto& p : c.params) {
      check(!p.first.empty() && std::none_of(p.first.begin(), p.first.end(), isUpper));
    }
  }

  const std::string user = "us\"er\\", password = "p:w";
  RtspAuthenticator auth(user, password);
  std::string detail;
  if (!auth.onChallenge(values, detail)) {
    check(!detail.empty() && !auth.ready() && auth.authorization("OPTIONS", "*").empty());
    return 0;
  }
  check(auth.ready());
  const std::string uri = "rtsp://127.0.0.1:8554/a,b\"c";
  const std::string value = auth.authorization("DESCRIBE", uri);
  check(!value.empty() && std::none_of(value.begin(), value.end(), isControl));
  check(hideCredentials("Authorization: " + value + "\r\n") ==
        "Authorization: <credentials hidden>\r\n");

  const std::vector<AuthChallenge> back = parseAuthChallenges({value});
  check(back.size() == 1);
  const AuthChallenge& answer = back[0];
  if (answer.scheme == "Basic") {
    check(answer.token68 == base64Encode(user + ":" + password));
    return 0;
  }
  check(answer.scheme == "Digest" && answer.param("uri") == uri);
  // The answer's own fields, in the order DigestInput declares them.
  // clang-format off
  DigestInput in{DigestAlgorithm::kMd5, user, password, answer.param("realm"), answer.param("nonce"),
                 "DESCRIBE", uri, answer.has("qop"), 1, answer.param("cnonce")};
  // clang-format on
  check(parseDigestAlgorithm(answer.param("algorithm"), in.algorithm));
  check(!in.qopAuth || answer.param("nc") == "00000001");
  check(answer.param("userhash") == "true" || answer.param("username") == user);
  check(answer.param("response") == digestResponse(in));
  return 0;
}
