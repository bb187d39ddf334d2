// RTSP authentication: challenge parsing and Digest / Basic credentials.
#include "session/auth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <random>

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = lowerAscii(c);
  return out;
}

bool equalsNoCase(const std::string& a, const char* b) { return lowerAscii(a) == b; }

// RFC 7230 tchar.
bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

bool hasControlChar(const std::string& text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

// Reads challenges out of one header value. Positions never pass `end_`.
class ChallengeReader {
 public:
  explicit ChallengeReader(const std::string& text) : text_(text) {}

  void readInto(std::vector<AuthChallenge>& out) {
    AuthChallenge* current = nullptr;
    while (true) {
      skipSeparators();
      if (pos_ >= text_.size()) return;
      const std::string name = readToken();
      if (name.empty()) {  // not a token: drop this list element
        skipElement();
        continue;
      }
      skipSpaces();
      if (peek() == '=') {  // an auth-param of the current challenge
        ++pos_;
        skipSpaces();
        const std::string value = readValue();
        if (current != nullptr) addParam(*current, name, value);
        skipElement();
        continue;
      }
      // A new challenge; a parameter or a token68 may follow after a space.
      out.push_back(AuthChallenge{});
      current = &out.back();
      current->scheme = name;
      if (pos_ >= text_.size() || peek() == ',') continue;
      readFirstItem(*current);
    }
  }

 private:
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  void skipSpaces() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }
  void skipSeparators() {
    while (pos_ < text_.size() && (isSpace(text_[pos_]) || text_[pos_] == ',')) ++pos_;
  }

  std::string readToken() {
    const size_t start = pos_;
    while (pos_ < text_.size() && isTokenChar(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // Moves past the rest of a list element, honouring quoted strings.
  void skipElement() {
    while (pos_ < text_.size() && text_[pos_] != ',') {
      if (text_[pos_] == '"') {
        readQuoted();
      } else {
        ++pos_;
      }
    }
  }

  // At an opening quote: the unescaped content. An unterminated string ends
  // with the text.
  std::string readQuoted() {
    std::string out;
    ++pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c == '\\' && pos_ < text_.size()) {
        out += text_[pos_++];
      } else {
        out += c;
      }
    }
    return out;
  }

  // A quoted string, or an unquoted value up to white space or a comma
  // (servers put '/' or ':' into unquoted values too).
  std::string readValue() {
    if (peek() == '"') return readQuoted();
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ',' && !isSpace(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // After `scheme` and its white space: either `name = value` (the first
  // parameter) or a token68 (`abc/+==`).
  void readFirstItem(AuthChallenge& challenge) {
    const size_t start = pos_;
    const std::string name = readToken();
    skipSpaces();
    if (!name.empty() && peek() == '=') {
      size_t look = pos_ + 1;
      while (look < text_.size() && isSpace(text_[look])) ++look;
      const bool token68 = look >= text_.size() || text_[look] == '=' || text_[look] == ',';
      if (!token68) {
        pos_ = look;
        addParam(challenge, name, readValue());
        skipElement();
        return;
      }
    }
    // token68: token characters and '/', then '=' padding.
    pos_ = start;
    while (pos_ < text_.size() && (isTokenChar(text_[pos_]) || text_[pos_] == '/')) ++pos_;
    while (pos_ < text_.size() && text_[pos_] == '=') ++pos_;
    challenge.token68 = text_.substr(start, pos_ - start);
    skipElement();
  }

  static void addParam(AuthChallenge& challenge, const std::string& name,
                       const std::string& value) {
    const std::string key = lowerAscii(name);
    if (!challenge.has(key)) challenge.params.emplace_back(key, value);
  }

  const std::string& text_;
  size_t pos_ = 0;
};

const EVP_MD* evpDigest(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMd5:
    case DigestAlgorithm::kMd5Sess:
      return EVP_md5();
    case DigestAlgorithm::kSha256:
    case DigestAlgorithm::kSha256Sess:
      return EVP_sha256();
  }
  return nullptr;
}

bool isSess(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kMd5Sess || algorithm == DigestAlgorithm::kSha256Sess;
}

bool isSha256(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kSha256 || algorithm == DigestAlgorithm::kSha256Sess;
}

std::string toHex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0f];
  }
  return out;
}

// 16 random bytes as 32 hexadecimal digits.
std::string freshCnonce() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    std::random_device device;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(device() & 0xffu);
  }
  return toHex(bytes, sizeof bytes);
}

// A quoted-string of RFC 7230: '"' and '\' escaped.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string ncText(std::uint32_t nc) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned int>(nc));
  return buf;
}

// The qop-options of a challenge: "auth" usable, "auth-int" alone refused.
enum class QopChoice { kNone, kAuth, kAuthIntOnly, kUnknown };

QopChoice chooseQop(const AuthChallenge& challenge) {
  if (!challenge.has("qop")) return QopChoice::kNone;
  const std::string list = challenge.param("qop");
  bool authInt = false;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string item = list.substr(start, comma - start);
    while (!item.empty() && isSpace(item.front())) item.erase(item.begin());
    while (!item.empty() && isSpace(item.back())) item.pop_back();
    if (equalsNoCase(item, "auth")) return QopChoice::kAuth;
    if (equalsNoCase(item, "auth-int")) authInt = true;
    start = comma + 1;
  }
  return authInt ? QopChoice::kAuthIntOnly : QopChoice::kUnknown;
}

}  // namespace

std::string AuthChallenge::param(const std::string& name) const {
  for (const auto& p : params) {
    if (p.first == name) return p.second;
  }
  return std::string();
}

bool AuthChallenge::has(const std::string& name) const {
  for (const auto& p : params) {
    if (p.first == name) return true;
  }
  return false;
}

std::vector<AuthChallenge> parseAuthChallenges(const std::vector<std::string>& values) {
  std::vector<AuthChallenge> out;
  for (const std::string& value : values) {
    std::vector<AuthChallenge> some;
    ChallengeReader(value).readInto(some);
    for (auto& c : some) out.push_back(std::move(c));
  }
  return out;
}

namespace {

// Each algorithm with the name a challenge gives it (matched without case)
// and an Authorization header repeats.
struct NamedAlgorithm {
  DigestAlgorithm algorithm;
  const char* name;
};
constexpr NamedAlgorithm kDigestAlgorithms[] = {
    {DigestAlgorithm::kMd5, "MD5"},
    {DigestAlgorithm::kMd5Sess, "MD5-sess"},
    {DigestAlgorithm::kSha256, "SHA-256"},
    {DigestAlgorithm::kSha256Sess, "SHA-256-sess"},
};

}  // namespace

bool parseDigestAlgorithm(const std::string& text, DigestAlgorithm& algorithm) {
  if (text.empty()) {
    algorithm = DigestAlgorithm::kMd5;
    return true;
  }
  const std::string name = lowerAscii(text);
  for (const NamedAlgorithm& known : kDigestAlgorithms) {
    if (name == lowerAscii(known.name)) {
      algorithm = known.algorithm;
      return true;
    }
  }
  return false;
}

const char* digestAlgorithmName(DigestAlgorithm algorithm) {
  for (const NamedAlgorithm& known : kDigestAlgorithms) {
    if (known.algorithm == algorithm) return known.name;
  }
  return "";
}

std::string hexDigest(DigestAlgorithm algorithm, const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), md, &size, evpDigest(algorithm), nullptr) != 1) {
    return std::string();
  }
  return toHex(md, size);
}

std::string digestResponse(const DigestInput& in) {
  const DigestAlgorithm h = in.algorithm;
  std::string ha1 = hexDigest(h, in.user + ":" + in.realm + ":" + in.password);
  if (ha1.empty()) return std::string();
  if (isSess(h)) ha1 = hexDigest(h, ha1 + ":" + in.nonce + ":" + in.cnonce);
  const std::string ha2 = hexDigest(h, in.method + ":" + in.uri);
  if (in.qopAuth) {
    return hexDigest(h,
                     ha1 + ":" + in.nonce + ":" + ncText(in.nc) + ":" + in.cnonce + ":auth:" + ha2);
  }
  return hexDigest(h, ha1 + ":" + in.nonce + ":" + ha2);
}

std::string base64Encode(const std::string& bytes) {
  if (bytes.size() > (1u << 28)) return std::string();  // EVP_EncodeBlock counts in int
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

std::string basicCredentials(const std::string& user, const std::string& password) {
  return "Basic " + base64Encode(user + ":" + password);
}

std::string hideCredentials(const std::string& line) {
  static const std::string kName = "authorization:";
  std::string out;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find('\n', start);
    end = (end == std::string::npos) ? line.size() : end + 1;
    const std::string one = line.substr(start, end - start);
    if (one.size() >= kName.size() && lowerAscii(one.substr(0, kName.size())) == kName) {
      size_t body = one.size();
      if (body > 0 && one[body - 1] == '\n') --body;
      if (body > 0 && one[body - 1] == '\r') --body;
      out += one.substr(0, kName.size()) + " <credentials hidden>" + one.substr(body);
    } else {
      out += one;
    }
    start = end;
  }
  return out;
}

RtspAuthenticator::RtspAuthenticator(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {}

bool RtspAuthenticator::onChallenge(const std::vector<std::string>& values, std::string& detail) {
  const std::vector<AuthChallenge> challenges = parseAuthChallenges(values);
  const AuthChallenge* best = nullptr;
  int bestRank = 0;
  DigestAlgorithm bestAlgorithm = DigestAlgorithm::kMd5;
  QopChoice bestQop = QopChoice::kNone;
  bool digestOffered = false;
  bool basicOffered = false;
  bool authIntOnly = false;
  bool badParams = false;
  std::string unsupported;
  for (const AuthChallenge& c : challenges) {
    if (equalsNoCase(c.scheme, "basic")) {
      basicOffered = true;
      continue;
    }
    if (!equalsNoCase(c.scheme, "digest")) {
      if (unsupported.empty()) unsupported = c.scheme;
      continue;
    }
    digestOffered = true;
    DigestAlgorithm algorithm;
    if (!parseDigestAlgorithm(c.param("algorithm"), algorithm)) {
      if (unsupported.empty()) unsupported = "Digest " + c.param("algorithm");
      continue;
    }
    const QopChoice qop = chooseQop(c);
    if (qop == QopChoice::kAuthIntOnly) {
      authIntOnly = true;
      continue;
    }
    if (qop == QopChoice::kUnknown) {
      if (unsupported.empty()) unsupported = "Digest qop=" + c.param("qop");
      continue;
    }
    // Values that go back into a header must not break it.
    if (!c.has("nonce") || hasControlChar(c.param("realm")) || hasControlChar(c.param("nonce")) ||
        hasControlChar(c.param("opaque"))) {
      badParams = true;
      continue;
    }
    if (hexDigest(algorithm, std::string()).empty()) {  // refused by libcrypto's configuration
      if (unsupported.empty())
        unsupported = std::string("Digest ") + digestAlgorithmName(algorithm);
      continue;
    }
    const int rank = isSha256(algorithm) ? 3 : 2;
    if (rank > bestRank) {
      best = &c;
      bestRank = rank;
      bestAlgorithm = algorithm;
      bestQop = qop;
    }
  }

  if (best == nullptr && basicOffered && !digestOffered) bestRank = 1;
  if (bestRank == 0) {
    if (challenges.empty()) {
      detail = "the server sent no authentication challenge";
    } else if (authIntOnly) {
      detail = "the server offers only qop=auth-int";
    } else if (badParams) {
      detail = "the server's Digest challenge is malformed";
    } else if (!unsupported.empty()) {
      detail = "the server offers no supported authentication scheme (" + unsupported + ")";
    } else {
      detail = "the server offers no supported authentication scheme";
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (hasControlChar(user_)) {
    detail = "the user name holds control characters";
    return false;
  }
  if (bestRank == 1) {
    scheme_ = Scheme::kBasic;
    stale_ = false;
    return true;
  }
  const std::string nonce = best->param("nonce");
  if (scheme_ != Scheme::kDigest || nonce != nonce_) nc_ = 0;
  scheme_ = Scheme::kDigest;
  stale_ = equalsNoCase(best->param("stale"), "true");
  algorithm_ = bestAlgorithm;
  algorithmGiven_ = best->has("algorithm");
  qopAuth_ = bestQop == QopChoice::kAuth;
  userhash_ = equalsNoCase(best->param("userhash"), "true");
  realm_ = best->param("realm");
  nonce_ = nonce;
  opaqueGiven_ = best->has("opaque");
  opaque_ = best->param("opaque");
  return true;
}

bool RtspAuthenticator::ready() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scheme_ != Scheme::kNone;
}

bool RtspAuthenticator::stale() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stale_;
}

std::string RtspAuthenticator::authorization(const std::string& method, const std::string& uri) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (scheme_ == Scheme::kNone) return std::string();
  if (scheme_ == Scheme::kBasic) return basicCredentials(user_, password_);

  DigestInput in;
  in.algorithm = algorithm_;
  in.user = user_;
  in.password = password_;
  in.realm = realm_;
  in.nonce = nonce_;
  in.method = method;
  in.uri = uri;
  in.qopAuth = qopAuth_;
  if (qopAuth_) in.nc = ++nc_;
  if (qopAuth_ || isSess(algorithm_)) in.cnonce = freshCnonce();

  const std::string username = userhash_ ? hexDigest(algorithm_, user_ + ":" + realm_) : user_;
  std::string out = "Digest username=" + quoted(username) + ", realm=" + quoted(realm_) +
                    ", nonce=" + quoted(nonce_) + ", uri=" + quoted(uri);
  if (algorithmGiven_) out += std::string(", algorithm=") + digestAlgorithmName(algorithm_);
  out += ", response=" + quoted(digestResponse(in));
  if (opaqueGiven_) out += ", opaque=" + quoted(opaque_);
  if (qopAuth_)
    out += ", qop=auth, nc=" + ncText(in.nc) + ", cnonce=" + quoted(in.cnonce);
  else if (!in.cnonce.empty())
    out += ", cnonce=" + quoted(in.cnonce);
  if (userhash_) out += ", userhash=true";
  return out;
}
