// A scripted RTSP server on 127.0.0.1 for the session tests.
//
// Each accepted connection plays one Script in order: expect a request byte
// for byte, send bytes, pause, wait for the test, reset or close. Everything
// received is recorded. After its last step a connection is read until the
// client closes it (so a TEARDOWN is recorded too). Every wait is bounded;
// the destructor ends the thread.
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
    // Waits until the test calls ScriptServer::release() (at most 10 s).
    Script& hold();
    // Closes with SO_LINGER 0: the client sees a reset.
    Script& reset();
    Script& close();

   private:
    friend class ScriptServer;
    std::vector<std::function<bool(ScriptServer&, int)>> steps_;
  };

  ScriptServer();
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  std::uint16_t port() const { return port_; }
  // The script of the next connection to be accepted. Add all scripts
  // before start().
  Script& connection();
  void start();
  void release();
  // Waits until every connection has ended (the client closed it or the
  // script closed it); false after `milliseconds`.
  bool waitDone(int milliseconds);

  std::vector<std::string> errors() const;
  std::string received(std::size_t connection) const;
  std::size_t accepted() const;

 private:
  void run();
  bool readRequest(int fd, std::string& request);
  bool sendAll(int fd, const std::string& bytes);
  void readToEnd(int fd);
  void record(std::size_t connection, const char* data, std::size_t size);
  void fail(const std::string& message);
  bool stopping() const;

  int listenFd_;
  std::uint16_t port_;
  std::vector<Script> scripts_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool released_ = false;
  bool done_ = false;
  std::size_t current_ = 0;
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

// `text` with CR, LF and non-printable bytes made visible, for messages.
std::string visible(const std::string& text);

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SCRIPT_SERVER_H_
