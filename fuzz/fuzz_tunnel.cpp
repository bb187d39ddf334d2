// Fuzz target: the HTTP framing of the RTSP-over-HTTP tunnel. The input is
// what a server sends on the tunnel's GET connection, read through the
// control connection's reader as the session reads it: the reply head line by
// line, then the RTSP stream. Also Base64-encoded as a request on the POST
// connection. Checks: the head is accepted only for a 200 and never past its
// line limits; nothing is lost or invented between the head and what stays
// buffered for the RTSP reader; the Base64 text decodes to the input.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <openssl/evp.h>

#include "check.h"
#include "session/control_channel.h"
#include "session/control_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = textOf(data, size);
  if (text.size() > 60000) return 0;  // one write into the socket pair

  const std::string encoded = tunnel::base64(text);
  check(encoded.size() == (text.size() + 2) / 3 * 4);
  std::string decoded(encoded.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                reinterpret_cast<const unsigned char*>(encoded.data()),
                                static_cast<int>(encoded.size()));
  check(n >= 0 && static_cast<std::size_t>(n) >= text.size() &&
        decoded.compare(0, text.size(), text) == 0);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  const bool written =
      ::send(pair[1], text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  ::close(pair[1]);
  if (written) {
    ControlReader control;
    control.attach(pair[0], plainChannel(pair[0]));
    ChannelFailure failure;
    const bool accepted = tunnel::readReplyHead(control, std::chrono::seconds(1), failure);
    const std::string_view rest = control.buffer().pending();
    check(accepted == (failure.cause == RTSP_CAUSE_NONE));
    check(!accepted || (text.compare(0, 5, "HTTP/") == 0 && text.find(" 200") < text.find('\n')));
    // What stays buffered is the end of the input, right after a line end.
    check(rest.size() <= text.size() &&
          text.compare(text.size() - rest.size(), rest.size(), rest) == 0);
    check(!accepted || (rest.size() < text.size() && text[text.size() - rest.size() - 1] == '\n'));
  }
  ::close(pair[0]);
  return 0;
}
