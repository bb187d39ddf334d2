// Fuzz target: the whole client over loopback. The input is everything the
// server says: the replies, the SDP body and the interleaved frames, in one
// stream. A server thread accepts the session's connection, writes the input,
// shuts its side down and reads whatever the client sends until the client
// closes. The session runs a start and a stop; with an input of odd length
// the stop waits (bounded) until the receive thread has ended by itself,
// with an even length it comes at once, while the thread may be reading.
//
// Checks beyond the sanitizers: a failed start runs the callback exactly
// once and delivers nothing; a successful start delivers the stream header
// exactly once, before any packet, with the session's SDP record and only
// then packets without one; the callback never runs twice; stop() returns;
// and after the run the process has exactly the descriptors it had before.
// The receive and body timeouts are cut to 1 s, so a read that waits for
// bytes that never come would show up as a slow unit.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include <rtsppull/rtsp_download.h>

// The session's test seam: shortens its timeouts.
class CRTSPDownloadTestPeer {
 public:
  static void setTimeouts(CRTSPDownload& d, int recvSec, int sdpSec) {
    d.recvTimeoutSec_ = recvSec;
    d.sdpTimeoutSec_ = sdpSec;
  }
};

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

struct Observed {
  std::atomic<int> callbacks{0};
  std::atomic<int> headers{0};
  std::atomic<int> packets{0};
  std::atomic<bool> packetBeforeHeader{false};
  std::atomic<bool> badArguments{false};
  static void callback(void* arg) { ++static_cast<Observed*>(arg)->callbacks; }
};

class ObservingReceiver : public IRTPReceiver {
 public:
  explicit ObservingReceiver(Observed& o) : o_(o) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    unsigned sum = 0;
    for (unsigned int i = 0; i < length; ++i) sum += static_cast<unsigned char>(data[i]);
    checksum_ += sum;
    if (isFileHeader) {
      ++o_.headers;
      if (sdp == nullptr || length > SDP::kFileHeaderCapacity) o_.badArguments = true;
    } else {
      if (o_.headers == 0) o_.packetBeforeHeader = true;
      if (sdp != nullptr || length > 65535) o_.badArguments = true;
      ++o_.packets;
    }
    return true;
  }

 private:
  Observed& o_;
  unsigned checksum_ = 0;
};

int g_listenFd = -1;
std::uint16_t g_port = 0;

// Accepts one connection, sends `input`, shuts the sending side, then reads
// until the client closes (or a bound passes) and closes.
void serve(const std::string& input) {
  pollfd p{g_listenFd, POLLIN, 0};
  if (::poll(&p, 1, 5000) <= 0) return;
  const int fd = ::accept4(g_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  std::size_t sent = 0;
  while (sent < input.size()) {
    const ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  char buf[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    pollfd q{fd, POLLIN, 0};
    if (::poll(&q, 1, 100) <= 0) continue;
    if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library writes every request and reply line to stdout.
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull >= 0) {
    ::dup2(devnull, STDOUT_FILENO);
    ::close(devnull);
  }
  g_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (g_listenFd < 0 || ::bind(g_listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(g_listenFd, 8) != 0 ||
      ::getsockname(g_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::abort();
  }
  g_port = ntohs(addr.sin_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const int descriptorsBefore = openDescriptors();
  Observed o;
  {
    std::thread server(serve, input);
    {
      CRTSPDownload d;
      d.initInfo("127.0.0.1", g_port, "fuzz", 0, ACE_Time_Value(2, 0), 0);
      d.registeRTPReceiver(new ObservingReceiver(o));
      d.setRecvTimeoutCallbackFun(&Observed::callback, &o);
      CRTSPDownloadTestPeer::setTimeouts(d, 1, 1);

      const bool started = d.startRTSPDownload(false, false);
      if (!started) {
        check(o.callbacks == 1);
        check(o.headers == 0 && o.packets == 0);
      } else {
        check(o.headers == 1);
        if (size % 2 == 1) {
          const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (o.callbacks == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          // The server has shut its side: the thread must end by itself.
          check(o.callbacks == 1);
        }
      }
      check(d.stop());
      check(!d.isRunning());
      check(o.callbacks <= 1);
      check(o.headers == (started ? 1 : 0));
    }
    server.join();
  }
  check(!o.packetBeforeHeader && !o.badArguments);
  check(openDescriptors() == descriptorsBefore);
  return 0;
}
