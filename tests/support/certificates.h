// Certificates for the TLS tests, made once per test program with the
// openssl command in a private temporary directory: a CA, and signed by it a
// server certificate for 127.0.0.1, one for another name and an expired one
// for 127.0.0.1; besides, a self-signed one for 127.0.0.1. EC P-256 keys:
// quick handshakes.
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
    // `openssl ca` is the one way of openssl 3.0 to date a certificate in
    // the past.
    const std::string script = R"(set -e
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
key ca
openssl req -x509 -new -key ca.key -out ca.pem -days 30 -subj /CN=rtsppull-test-ca
key self
openssl req -x509 -new -key self.key -out self.pem -days 30 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n'\
'default_md=sha256\npolicy=p\ncopy_extensions=copy\nunique_subject=no\n[p]\ncommonName=supplied\n' \
  > ca.cnf
: > index.txt
echo 1000 > serial
signed() {  # name, subjectAltName, dates
  key "$1"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1" -addext "subjectAltName=$2"
  openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in "$1.csr" \
    -out "$1.pem" $3
}
signed server IP:127.0.0.1 "-days 30"
signed other DNS:camera.example "-days 30"
signed expired IP:127.0.0.1 "-startdate 20200101000000Z -enddate 20200201000000Z"
)";
    const std::string scriptPath = c.dir + "/make.sh";
    FILE* file = std::fopen(scriptPath.c_str(), "w");
    if (file == nullptr) {
      c.why = "cannot write " + scriptPath;
      return c;
    }
    std::fputs(script.c_str(), file);
    std::fclose(file);
    const std::string command = "sh '" + scriptPath + "' '" + c.dir + "' >/dev/null 2>&1";
    c.made = std::system(command.c_str()) == 0;
    if (!c.made) c.why = "the openssl command is missing or failed (" + command + ")";
    return c;
  }();
  return made;
}

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_CERTIFICATES_H_
