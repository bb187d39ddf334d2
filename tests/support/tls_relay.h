// A TLS front for a plain test server: accepts connections on its own port,
// runs the server side of TLS with a given certificate and relays the
// plaintext both ways to 127.0.0.1:<target>. What it sends the client can be
// written in pieces of a few bytes (TLS records split across the client's
// reads) and cut after a given number of bytes (then the connection closes).
#ifndef RTSPPULL_TESTS_SUPPORT_TLS_RELAY_H_
#define RTSPPULL_TESTS_SUPPORT_TLS_RELAY_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "loopback.h"

namespace rtsptest {

class TlsRelay {
 public:
  struct Config {
    std::string pem, key;        // the server's certificate and key files
    unsigned target = 0;         // the plain server's port
    std::size_t piece = 0;       // >0: the client gets this many bytes per send
    std::size_t cut = SIZE_MAX;  // bytes sent to the client before the cut
  };
  explicit TlsRelay(Config config)
      : config_(std::move(config)),
        listenFd_(listenLoopback(port)),
        context_(SSL_CTX_new(TLS_server_method())) {
    const bool ready =
        context_ != nullptr &&
        SSL_CTX_use_certificate_chain_file(context_, config_.pem.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context_, config_.key.c_str(), SSL_FILETYPE_PEM) == 1;
    thread_ = std::thread([this, ready] {
      if (ready) serveOne();
      ERR_clear_error();
    });
  }
  ~TlsRelay() {
    thread_.join();
    ::close(listenFd_);
    SSL_CTX_free(context_);
  }
  // The bytes sent to the clients so far.
  std::size_t sent() const { return sent_; }

  unsigned port = 0;

 private:
  // Relays one connection.
  void serveOne() {
    pollfd wanted{listenFd_, POLLIN, 0};
    const int client = ::poll(&wanted, 1, 30000) == 1 ? ::accept(listenFd_, nullptr, nullptr) : -1;
    if (client < 0) return;
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Datagram::loopback(config_.target);
    bool upstreamOpen =
        ::connect(upstream, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    SSL* const ssl = SSL_new(context_);
    BIO* const in = BIO_new(BIO_s_mem());
    BIO* const out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buf[16384];
    while (std::chrono::steady_clock::now() < until && flush(client, out)) {
      if (!upstreamOpen && BIO_pending(out) == 0) break;  // all relayed
      pollfd p[2] = {{client, POLLIN, 0}, {upstreamOpen ? upstream : -1, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      if (p[0].revents != 0) {
        const ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) break;
        BIO_write(in, buf, static_cast<int>(n));
        int k;  // SSL_read runs the handshake first
        while ((k = SSL_read(ssl, buf, sizeof buf)) > 0)
          (void)::send(upstream, buf, static_cast<std::size_t>(k), MSG_NOSIGNAL);
        if (SSL_get_error(ssl, k) != SSL_ERROR_WANT_READ) break;
      }
      if (p[1].revents != 0) {
        const ssize_t n = ::recv(upstream, buf, sizeof buf, 0);
        upstreamOpen = n > 0;
        if (n > 0) SSL_write(ssl, buf, static_cast<int>(n));
      }
    }
    SSL_free(ssl);
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
    ::close(upstream);
  }

  // Sends what TLS has made for the client, as the pieces and the cut
  // allow; false once the cut is reached.
  bool flush(int client, BIO* out) {
    char buf[16384];
    while (BIO_pending(out) > 0 && sent_ < config_.cut) {
      std::size_t most = std::min<std::size_t>(sizeof buf, config_.cut - sent_);
      if (config_.piece > 0) most = std::min(most, config_.piece);
      const int n = BIO_read(out, buf, static_cast<int>(most));
      if (n <= 0) break;
      if (::send(client, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return false;
      sent_ += static_cast<std::size_t>(n);
      if (config_.piece > 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return sent_ < config_.cut;
  }

  const Config config_;
  int listenFd_;
  SSL_CTX* const context_;
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_TLS_RELAY_H_
