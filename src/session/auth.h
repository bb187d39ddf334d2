// RTSP authentication: parsing of WWW-Authenticate challenges, Digest
// (RFC 7616, RFC 2617, RFC 2069) and Basic (RFC 7617) credentials.
//
// Pure text work: no sockets, no output. Internal to the library: the symbols
// are hidden and not part of the ABI. MD5, SHA-256, Base64 and random bytes
// come from OpenSSL's libcrypto.
#ifndef RTSPPULL_SESSION_AUTH_H_
#define RTSPPULL_SESSION_AUTH_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One challenge of a WWW-Authenticate header: `Digest realm="x", nonce="y"`.
struct AuthChallenge {
  std::string scheme;   // as sent; compare case-insensitively
  std::string token68;  // the token68 form (`Negotiate abc==`), empty otherwise
  // Parameters in order, names lower-cased, quoted values unquoted and
  // unescaped. A name repeated later in the same challenge is kept only once
  // (the first).
  std::vector<std::pair<std::string, std::string>> params;

  // The value of parameter `name` (lower case), or "" when absent.
  std::string param(const std::string& name) const;
  bool has(const std::string& name) const;
};

// Every challenge of the given header values, in order. One value may carry
// several challenges (`Digest realm="a", nonce="b", Basic realm="a"`);
// quoted strings may hold commas and backslash escapes; parameters with
// unknown names are kept; parts that cannot be read are skipped. Never fails.
std::vector<AuthChallenge> parseAuthChallenges(const std::vector<std::string>& values);

enum class DigestAlgorithm { kMd5, kMd5Sess, kSha256, kSha256Sess };

// Parses an `algorithm` parameter (case-insensitive; "" means MD5). False for
// an algorithm this code does not implement (SHA-512-256, ...).
bool parseDigestAlgorithm(const std::string& text, DigestAlgorithm& algorithm);
// The canonical token: "MD5", "MD5-sess", "SHA-256", "SHA-256-sess".
const char* digestAlgorithmName(DigestAlgorithm algorithm);

// Everything one Digest response is computed from.
struct DigestInput {
  DigestAlgorithm algorithm = DigestAlgorithm::kMd5;
  std::string user;
  std::string password;
  std::string realm;
  std::string nonce;
  std::string method;
  std::string uri;       // exactly the request URI of the request line
  bool qopAuth = false;  // false: the RFC 2069 form, without qop, nc and cnonce
  std::uint32_t nc = 1;  // used with qopAuth
  std::string cnonce;    // used with qopAuth and with the -sess algorithms
};

// The lower-case hexadecimal `response` value, or "" when the digest is not
// available from libcrypto (an MD5 refused by a FIPS-only configuration).
std::string digestResponse(const DigestInput& input);
// Lower-case hexadecimal MD5 or SHA-256 of `data` ("" when unavailable).
std::string hexDigest(DigestAlgorithm algorithm, const std::string& data);

// Standard Base64 (RFC 4648) with padding.
std::string base64Encode(const std::string& bytes);
// "Basic " followed by the Base64 of `user:password`.
std::string basicCredentials(const std::string& user, const std::string& password);

// Returns `text` with the value of every `Authorization:` header line (name
// matched case-insensitively at the start of a line) replaced by
// "<credentials hidden>"; line ends and every other line stay as they are.
// Takes a single line (with or without its CR LF) or a whole request text.
std::string hideCredentials(const std::string& line);

// Chooses and answers an RTSP authentication challenge: Digest SHA-256 (or
// SHA-256-sess) first, then Digest MD5 (or MD5-sess), then Basic, which is
// used only when no Digest challenge is offered at all.
//
// Threads: every method may be called from any thread; calls are serialised
// by an internal mutex (the session's host thread and its receive thread,
// which sends keep-alives, may share one object).
class RtspAuthenticator {
 public:
  RtspAuthenticator(std::string user, std::string password);
  RtspAuthenticator(const RtspAuthenticator&) = delete;
  RtspAuthenticator& operator=(const RtspAuthenticator&) = delete;

  // Every WWW-Authenticate header value of one 401 reply, in order (one value
  // may hold several challenges). True when a supported challenge was chosen
  // and the request may be resent; false with `detail` set otherwise ("the
  // server sent no challenge", "the server offers only qop=auth-int", ...).
  // A false result leaves the previously accepted challenge in force.
  bool onChallenge(const std::vector<std::string>& values, std::string& detail);
  // A challenge has been accepted: every later request carries authorization().
  bool ready() const;
  // The last accepted challenge said stale=true.
  bool stale() const;
  // The value of the Authorization header (without "Authorization: ") for one
  // request; `uri` is exactly the request URI of the request line. Digest
  // with qop counts nc up on each call (from 1 for each new nonce) and makes
  // a fresh cnonce. "" while not ready(). Never contains CR or LF when `uri`
  // does not.
  std::string authorization(const std::string& method, const std::string& uri);

 private:
  enum class Scheme { kNone, kBasic, kDigest };

  mutable std::mutex mutex_;
  std::string user_;
  std::string password_;
  Scheme scheme_ = Scheme::kNone;
  bool stale_ = false;
  // The accepted Digest challenge.
  DigestAlgorithm algorithm_ = DigestAlgorithm::kMd5;
  bool algorithmGiven_ = false;  // echo `algorithm=` only when the server sent it
  bool qopAuth_ = false;
  bool userhash_ = false;
  std::string realm_;
  std::string nonce_;
  std::string opaque_;
  bool opaqueGiven_ = false;
  std::uint32_t nc_ = 0;  // requests answered for nonce_
};

#endif  // RTSPPULL_SESSION_AUTH_H_
