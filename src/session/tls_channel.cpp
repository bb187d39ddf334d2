// TLS on the control connection (OpenSSL), and the bare socket for the
// tunnel's halves.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <ace/ACE.h>
#include <ace/INET_Addr.h>
#include <ace/Time_Value.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "session/control_channel.h"

namespace {

using Clock = std::chrono::steady_clock;

// The most one receive of the socket takes under TLS.
constexpr std::size_t kReadAhead = 64 * 1024;

class PlainChannel : public ControlChannel {
 public:
  explicit PlainChannel(int fd) : fd_(fd) {}
  ssize_t receive(char* data, std::size_t size) override {
    return ::recv(fd_, data, size, MSG_DONTWAIT);
  }
  bool send(const char* data, std::size_t size, const ACE_Time_Value* timeout) override {
    std::size_t sent = 0;
    ACE::send_n(fd_, data, size, MSG_NOSIGNAL, timeout, &sent);
    return sent == size;
  }
  void shutdown() override { ::shutdown(fd_, SHUT_RDWR); }

 private:
  const int fd_;
};

// The socket under OpenSSL, read and written without waiting (the socket
// keeps its blocking mode) and never raising SIGPIPE.
int bioWrite(BIO* bio, const char* data, int size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(fd, data, static_cast<std::size_t>(size), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(bio);
  }
  // OpenSSL asks (BIO_CTRL_EOF) whether a read of nothing was the end.
  if (n == 0 && size > 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  return static_cast<int>(n);
}

long bioCtrl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO* socketBio(int fd) {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rtsp socket");
    BIO_meth_set_write(made, bioWrite);
    BIO_meth_set_read(made, bioRead);
    BIO_meth_set_ctrl(made, bioCtrl);
    return made;
  }();
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return nullptr;
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  BIO_set_init(bio, 1);
  return bio;
}

// Waits until `fd` is ready for `events`, until `deadline`; false when it
// passed (errno ETIMEDOUT) or the wait failed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    int ms = -1;
    if (deadline != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        errno = ETIMEDOUT;
        return false;
      }
      ms = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
    }
    pollfd wanted{fd, events, 0};
    const int ready = ::poll(&wanted, 1, ms);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// The first error OpenSSL queued on this thread, in words; the queue is
// emptied.
std::string openSslError() {
  const unsigned long code = ERR_get_error();
  char text[256] = "unknown error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

std::string hexFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return std::string();
  std::string text;
  char pair[4];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += pair;
  }
  return text;
}

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  void operator()(X509* certificate) const { X509_free(certificate); }
};

class TlsChannel : public ControlChannel {
 public:
  TlsChannel(int fd, std::unique_ptr<SSL, SslDeleter> ssl) : fd_(fd), ssl_(std::move(ssl)) {}

  ssize_t receive(char* data, std::size_t size) override {
    int error = 0;
    int n = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ERR_clear_error();
      errno = 0;
      n = SSL_read(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
      if (n > 0) return n;
      switch (SSL_get_error(ssl_.get(), n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
          error = EAGAIN;
          break;
        case SSL_ERROR_ZERO_RETURN:
          return 0;
        case SSL_ERROR_SYSCALL:
          // No errno: the connection ended without a TLS record saying so.
          if (errno == 0) return 0;
          error = errno;
          break;
        default:
          error = EPROTO;
      }
      ERR_clear_error();
    }
    errno = error;
    return -1;
  }

  bool send(const char* data, std::size_t size, const ACE_Time_Value* timeout) override {
    const Clock::time_point deadline =
        timeout == nullptr ? Clock::time_point::max()
                           : Clock::now() + std::chrono::milliseconds(timeout->msec());
    std::size_t done = 0;
    while (done < size) {
      int n = 0;
      int kind = 0;
      int error = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ERR_clear_error();
        n = SSL_write(ssl_.get(), data + done,
                      static_cast<int>(std::min<std::size_t>(size - done, INT_MAX)));
        if (n <= 0) {
          kind = SSL_get_error(ssl_.get(), n);
          error = errno;
          ERR_clear_error();
        }
      }
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (kind == SSL_ERROR_WANT_WRITE) {
        if (!waitFor(fd_, POLLOUT, deadline)) return false;
        continue;
      }
      if (kind == SSL_ERROR_WANT_READ) {
        // Rare (a renegotiation the server began): the receive thread's
        // reads complete it; this side only waits a little.
        if (Clock::now() >= deadline) {
          errno = ETIMEDOUT;
          return false;
        }
        ::poll(nullptr, 0, 5);
        continue;
      }
      errno = kind == SSL_ERROR_SYSCALL && error != 0 ? error : EPIPE;
      return false;
    }
    return true;
  }

  void shutdown() override { ::shutdown(fd_, SHUT_RDWR); }

 private:
  const int fd_;
  // One SSL object serves the receive thread's reads and the sends of
  // another thread (stop()'s TEARDOWN): OpenSSL allows one call at a time.
  std::mutex mutex_;
  std::unique_ptr<SSL, SslDeleter> ssl_;
};

bool isIpAddress(const std::string& host) {
  unsigned char bytes[16];
  return ::inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// The certificate check of RTSP_TLS_CHECK_CHAIN: the cause and the words
// for a verification result.
RTSP_CAUSE verifyCause(long result, const char*& words) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      words = "it has expired";
      return RTSP_CAUSE_CERT_EXPIRED;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      words = "it is not valid yet";
      return RTSP_CAUSE_CERT_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      words = "it was issued for another host name";
      return RTSP_CAUSE_CERT_NAME_MISMATCH;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      words = "it is self-signed";
      return RTSP_CAUSE_CERT_UNTRUSTED;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      words = "it is signed by an unknown CA";
      return RTSP_CAUSE_CERT_UNTRUSTED;
    default:
      words = X509_verify_cert_error_string(result);
      return RTSP_CAUSE_CERT_UNTRUSTED;
  }
}

// Checks the certificate of the finished handshake as `options` say.
bool checkCertificate(SSL* ssl, const std::string& host, const RTSPSessionOptions& options,
                      ChannelFailure& failure, std::string& warning) {
  const std::unique_ptr<X509, SslDeleter> certificate(SSL_get_peer_certificate(ssl));
  if (!certificate) {
    failure = {RTSP_CAUSE_CERT_UNTRUSTED, "the server sent no certificate"};
    return false;
  }
  const std::string fingerprint = hexFingerprint(certificate.get());
  const std::string named = " (SHA-256 fingerprint " + fingerprint + ")";
  switch (options.tlsCheck) {
    case RTSP_TLS_CHECK_NONE:
      warning = "TLS: the certificate of " + host + " is not checked" + named;
      return true;
    case RTSP_TLS_CHECK_PIN: {
      const std::string pinned = parseFingerprint(options.tlsFingerprint);
      if (!pinned.empty() && parseFingerprint(fingerprint) == pinned) return true;
      failure = {RTSP_CAUSE_CERT_PIN_MISMATCH,
                 pinned.empty() ? "certificate refused: the pinned fingerprint \"" +
                                      options.tlsFingerprint + "\" is not 64 hex digits" + named
                                : "certificate refused: it is not the pinned one" + named};
      return false;
    }
    default: {
      const long result = SSL_get_verify_result(ssl);
      if (result == X509_V_OK) return true;
      const char* words = "";
      const RTSP_CAUSE cause = verifyCause(result, words);
      std::string detail = std::string("certificate refused: ") + words;
      if (cause == RTSP_CAUSE_CERT_NAME_MISMATCH) detail += ", not " + host;
      failure = {cause, detail + named};
      return false;
    }
  }
}

}  // namespace

std::unique_ptr<ControlChannel> plainChannel(int fd) {
  return std::unique_ptr<ControlChannel>(new PlainChannel(fd));
}

std::string parseFingerprint(const std::string& text) {
  std::string bytes;
  int high = -1;
  for (const char c : text) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    if (c == ':' && high < 0) continue;
    if (value < 0) return std::string();
    if (high < 0) {
      high = value;
    } else {
      bytes += static_cast<char>(high * 16 + value);
      high = -1;
    }
  }
  return high < 0 && bytes.size() == 32 ? bytes : std::string();
}

std::unique_ptr<ControlChannel> startTls(int fd, const std::string& host,
                                         const RTSPSessionOptions& options,
                                         Clock::time_point deadline, ChannelFailure& failure,
                                         std::string& warning) {
  ERR_clear_error();
  const std::unique_ptr<SSL_CTX, SslDeleter> context(SSL_CTX_new(TLS_client_method()));
  if (!context) {
    failure = {RTSP_CAUSE_RESOURCES, "cannot set up TLS: " + openSslError()};
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // AES-128-GCM first: the media are decrypted packet by packet, and it is
  // the cheapest of the TLS 1.3 suites on processors with AES instructions.
  SSL_CTX_set_ciphersuites(context.get(),
                           "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                           "TLS_CHACHA20_POLY1305_SHA256");
  // The handshake always completes; the certificate is judged afterwards,
  // before any request is sent, so that a refusal can name the check that
  // failed and the certificate's fingerprint.
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  // RTSP messages and frames carry their own lengths: a connection cut
  // without close_notify is an end like any other.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (options.tlsCheck == RTSP_TLS_CHECK_CHAIN) {
    const bool loaded =
        options.tlsCaFile.empty()
            ? SSL_CTX_set_default_verify_paths(context.get()) == 1
            : SSL_CTX_load_verify_locations(context.get(), options.tlsCaFile.c_str(), nullptr) == 1;
    if (!loaded) {
      failure = {RTSP_CAUSE_TLS,
                 "cannot read the CA file \"" + options.tlsCaFile + "\": " + openSslError()};
      return nullptr;
    }
  }
  std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(context.get()));
  BIO* const bio = ssl ? socketBio(fd) : nullptr;
  if (bio == nullptr) {
    failure = {RTSP_CAUSE_RESOURCES, "cannot set up TLS: " + openSslError()};
    return nullptr;
  }
  SSL_set_bio(ssl.get(), bio, bio);
  SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One receive takes several records when they are there, instead of two
  // receives (header, body) per record. What it takes beyond one record stays
  // inside OpenSSL, and SSL_read returns it before it reports that it would
  // block: the reader waits on the socket only after that.
  SSL_set_read_ahead(ssl.get(), 1);
  SSL_set_default_read_buffer_len(ssl.get(), kReadAhead);
  X509_VERIFY_PARAM* const param = SSL_get0_param(ssl.get());
  if (isIpAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    // Server names are sent for host names only, never for addresses.
    SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
  }
  for (;;) {
    const int done = SSL_connect(ssl.get());
    if (done == 1) break;
    const int kind = SSL_get_error(ssl.get(), done);
    const int error = errno;
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
      if (waitFor(fd, kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) continue;
      failure = errno == ETIMEDOUT
                    ? ChannelFailure{RTSP_CAUSE_TIMED_OUT, "the TLS handshake timed out"}
                    : ChannelFailure{RTSP_CAUSE_NETWORK,
                                     std::string("TLS handshake failed: ") + std::strerror(errno)};
      ERR_clear_error();
      return nullptr;
    }
    if (kind == SSL_ERROR_SYSCALL && error != 0) {
      failure = {
          error == ECONNRESET || error == EPIPE ? RTSP_CAUSE_CLOSED_BY_SERVER : RTSP_CAUSE_NETWORK,
          std::string("TLS handshake failed: ") + std::strerror(error)};
    } else if (kind == SSL_ERROR_ZERO_RETURN || kind == SSL_ERROR_SYSCALL ||
               ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      failure = {RTSP_CAUSE_CLOSED_BY_SERVER,
                 "the server closed the connection during the TLS handshake"};
    } else {
      failure = {RTSP_CAUSE_TLS, "TLS handshake failed: " + openSslError()};
    }
    ERR_clear_error();
    return nullptr;
  }
  if (!checkCertificate(ssl.get(), host, options, failure, warning)) return nullptr;
  return std::unique_ptr<ControlChannel>(new TlsChannel(fd, std::move(ssl)));
}
