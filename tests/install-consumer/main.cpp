// A minimal host of the installed library; exits non-zero on any difference.
#include <rtsppull/rtsppull.h>

#include <cstdio>

struct HostReceiver : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool, SDP*) override {
    received.assign(data, length);
    return true;
  }
  std::string received;
};

int main() {
  SDP sdp;
  sdp.lines.push_back("a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n");
  std::string sps, pps;
  HostReceiver receiver;
  receiver.changeImpl(RTP_RECEIVER_TCP);
  const unsigned short port = CZudezPortFounder::execute();
  const bool ok = sdp.fetch_sps_pps(sps, pps) == 0 && pps == "\x68\xCE\x3C\x80" &&
                  receiver.Execute("header", true, &sdp) && receiver.received == "header" &&
                  (port == CZudezPortFounder::kNoPortPair || port % 2 == 0);
  std::printf("install consumer: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
