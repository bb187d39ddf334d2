// A scripted RTSP server on 127.0.0.1 for the session tests.
//
// Each accepted connection plays one Script in order; everything received
// is recorded. After its last step a connection is read until the client
// closes it (so a TEARDOWN is recorded too). Every wait is bounded; the
// destructor ends the thread.
#ifndef RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_
#define RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rtsptest {

class ScriptServer {
 public:
  class Script {
   public:
    // Reads one request (up to and including its empty line) and compares it
    // with `request`; a mismatch is recorded and ends the connection.
    Script& expect(const std::string& request);
    Script& send(const std::string& bytes);
    Script& pause(int milliseconds);
    Script& hold();   // waits until the test calls release() (at most 10 s)
    Script& reset();  // closes with SO_LINGER 0: the client sees a reset
    Script& close();

   private:
    friend class ScriptServer;
    Script& add(std::function<bool(ScriptServer&, int)> step) {
      steps_.push_back(std::move(step));
      return *this;
    }
    std::vector<std::function<bool(ScriptServer&, int)>> steps_;
  };

  ScriptServer();
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  std::uint16_t port() const { return port_; }
  // The script of the next connection to be accepted; all before start().
  Script& connection() { return scripts_.emplace_back(); }
  void start() { thread_ = std::thread(&ScriptServer::run, this); }
  void release();
  // Waits until every connection has ended; false after `milliseconds`.
  bool waitDone(int milliseconds);

  std::vector<std::string> errors() const {
    return locked([this] { return errors_; });
  }
  std::string received(std::size_t connection) const {
    return locked([&] { return connection < received_.size() ? received_[connection] : ""; });
  }
  std::size_t accepted() const {
    return locked([this] { return received_.size(); });
  }

 private:
  template <typename F>
  auto locked(F f) const -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }
  bool stopping() const {
    return locked([this] { return stop_; });
  }
  void fail(const std::string& message);
  void run();
  bool readRequest(int fd, std::string& request);
  void readToEnd(int fd);

  int listenFd_;
  std::uint16_t port_;
  std::vector<Script> scripts_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool released_ = false;
  bool done_ = false;
  std::vector<std::string> received_;
  std::vector<std::string> errors_;
};

// A TCP port on 127.0.0.1 on which nothing listens.
std::uint16_t unusedPort();

// An interleaved frame: magic, channel, 16-bit big-endian length, payload.
std::string frame(char magic, unsigned char channel, const std::string& payload);

// "RTSP/1.0 <code> <reason>", "CSeq: <cseq>", the extra header lines (each
// given without its CR LF), the empty line, then `body`.
std::string reply(int code, const std::string& reason, unsigned cseq,
                  const std::vector<std::string>& headers = {}, const std::string& body = "");

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_
