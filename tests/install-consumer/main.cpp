// A minimal host of the installed library: derives a receiver, reads the
// H.264 parameter sets of an SDP record and asks for a free UDP port pair.
// Exits non-zero when anything differs from what the library promises.
#include <rtsppull/rtsppull.h>

#include <cstdio>
#include <string>

class HostReceiver : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    received = isFileHeader && sdp != nullptr ? std::string(data, length) : "wrong call";
    return true;
  }
  std::string received;
};

static int failures = 0;

static void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++failures;
}

int main() {
  SDP sdp;
  sdp.lines.push_back(
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n");
  std::string sps, pps;
  check(sdp.fetch_sps_pps(sps, pps) == 0 &&
            sps == std::string("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9) &&
            pps == std::string("\x68\xCE\x3C\x80", 4),
        "fetch_sps_pps gives 67 42 00 1E 95 A8 28 0F 64 and 68 CE 3C 80");

  HostReceiver receiver;
  check(!receiver.Execute("x", false, nullptr), "a new receiver has no implementation");
  receiver.changeImpl(RTP_RECEIVER_TCP);
  check(receiver.Execute("header", true, &sdp) && receiver.received == "header",
        "the pass-through implementation forwards to OnRecvData");

  const unsigned short port = CZudezPortFounder::execute();
  std::printf("port pair: %u/%u\n", port, port + 1u);
  check(port == CZudezPortFounder::kNoPortPair || (port >= 30000 && port <= 59998 && port % 2 == 0),
        "the port finder returns an even port or 60000");
  return failures == 0 ? 0 : 1;
}
