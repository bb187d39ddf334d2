// The start-up floor of every host of the library: a program that loads what
// librtsppull.so itself loads (libstdc++ with its standard streams, ACE and
// ACE's own dependencies, libcrypto for the authentication digests) and does
// nothing else. Its CPU time, page faults
// and peak RSS are what a host pays before the library runs a single line;
// compare.py sets them beside the clients' own start-up figures.
//
// Last it prints "rss_anon_kib=A rss_file_kib=F" (from /proc/self/status):
// the private (anonymous) and file-backed resident memory of such a process,
// the floor under the private memory of every host. The figures are read
// into a buffer on the stack, so reading them allocates nothing.
#include <ace/Thread_Mutex.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

long statusField(const char* status, const char* name) {
  const char* at = std::strstr(status, name);
  return at == nullptr ? -1 : std::strtol(at + std::strlen(name), nullptr, 10);
}

}  // namespace

int main() {
  // One call into ACE and one into libcrypto (which initialises nothing), so
  // that the linker keeps the dependencies; the stream write initialises the
  // standard streams as the library's diagnostics do.
  ACE_Thread_Mutex lock;
  lock.acquire();
  lock.release();
  std::cout << "usage: start_floor (loads libstdc++, ACE and libcrypto " << OPENSSL_version_major()
            << ", then exits)" << std::endl;
  char status[8192] = {};
  const int fd = ::open("/proc/self/status", O_RDONLY);
  if (fd >= 0) {
    const ssize_t n = ::read(fd, status, sizeof status - 1);
    static_cast<void>(n);
    ::close(fd);
  }
  std::cout << "rss_anon_kib=" << statusField(status, "RssAnon:")
            << " rss_file_kib=" << statusField(status, "RssFile:") << std::endl;
  return 2;
}
