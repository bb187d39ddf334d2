// A scripted RTSP server on 127.0.0.1 for the session tests. Each accepted
// connection plays one Script; after its last step it is read until the
// client closes it. Every wait is bounded; the destructor ends the thread.
#ifndef RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_
#define RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_

#include <atomic>
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
  using Step = std::function<bool(ScriptServer&, int)>;
  struct Script {
    // Reads one request (through its empty line); a mismatch is an error.
    Script& expect(const std::string& request);
    Script& send(const std::string& bytes);
    Script& pause(int milliseconds);
    Script& reset();  // SO_LINGER 0: the client sees a reset
    Script& close();
    std::vector<Step> steps;
  };

  ScriptServer();
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  std::uint16_t port() const { return port_; }
  Script& connection() { return scripts_.emplace_back(); }  // all before start()
  void start() { thread_ = std::thread(&ScriptServer::run, this); }
  bool waitDone(int milliseconds);
  std::vector<std::string> errors() const;
  std::size_t accepted() const { return accepted_; }

 private:
  void fail(const std::string& message);
  void run();

  int listenFd_;
  std::uint16_t port_;
  std::vector<Script> scripts_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> stop_{false};
  bool done_ = false;
  std::atomic<std::size_t> accepted_{0};
  std::vector<std::string> errors_;
};

std::uint16_t unusedPort();  // a port on 127.0.0.1 on which nothing listens
std::string frame(char magic, unsigned char channel, const std::string& payload);
// Status line, "CSeq: <cseq>", the header lines (without CR LF), empty line, body.
std::string reply(int code, const std::string& reason, unsigned cseq,
                  const std::vector<std::string>& headers = {}, const std::string& body = "");

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_
