// Certificates for the TLS tests, made once per test program by
// support/make_certificates.sh (RTSPPULL_MAKE_CERTIFICATES, its path) in a
// private temporary directory, removed at exit.
#ifndef RTSPPULL_TESTS_SUPPORT_CERTIFICATES_H_
#define RTSPPULL_TESTS_SUPPORT_CERTIFICATES_H_

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <mutex>
#include <string>

namespace rtsptest {

struct Certificates {
  bool made = false;
  std::string why;  // when not made
  std::string dir;
  // "<dir>/<name>.pem" and "<dir>/<name>.key" for name in ca, server,
  // other, expired, self.
  std::string pem(const std::string& name) const { return dir + "/" + name + ".pem"; }
  std::string key(const std::string& name) const { return dir + "/" + name + ".key"; }
  // The SHA-256 fingerprint as openssl prints it ("AB:CD:..."), made once.
  std::string fingerprint(const std::string& name) const {
    static std::map<std::string, std::string> known;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::string& found = known[name];
    if (found.empty()) found = fingerprintOf(name);
    return found;
  }
  std::string fingerprintOf(const std::string& name) const {
    const std::string command =
        "openssl x509 -noout -fingerprint -sha256 -in '" + pem(name) + "' 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) return std::string();
    char line[256] = "";
    const bool read = std::fgets(line, sizeof line, out) != nullptr;
    ::pclose(out);
    std::string text = read ? line : "";
    const std::string::size_type eq = text.find('=');
    if (eq == std::string::npos) return std::string();
    text.erase(0, eq + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }
};

inline const Certificates& certificates() {
  static const Certificates made = [] {
    Certificates c;
    char pattern[] = "/tmp/rtsppull-certs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      c.why = "no temporary directory";
      return c;
    }
    c.dir = pattern;
    static std::string removal;
    removal = "rm -rf '" + c.dir + "'";
    std::atexit([] { (void)std::system(removal.c_str()); });
    const std::string command =
        std::string("sh '") + RTSPPULL_MAKE_CERTIFICATES + "' '" + c.dir + "' >/dev/null 2>&1";
    c.made = std::system(command.c_str()) == 0;
    if (!c.made) c.why = "the openssl command is missing or failed (" + command + ")";
    return c;
  }();
  return made;
}

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_CERTIFICATES_H_
