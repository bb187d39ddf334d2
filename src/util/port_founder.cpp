#include <rtsppull/port_founder.h>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>

namespace {

const unsigned short kFirstPort = 30000;
const int kReceiveBufferSize = 32768;

// Binds `socket` to `port` on all local addresses and gives it the receive
// buffer; the socket is closed again whatever the outcome.
bool probe(ACE_SOCK_Dgram& socket, unsigned short port) {
  const ACE_INET_Addr local(port, static_cast<ACE_UINT32>(INADDR_ANY));
  if (socket.open(local, AF_INET, 0, 0) != 0) {
    if (socket.get_handle() != ACE_INVALID_HANDLE) socket.close();
    return false;
  }
  int size = kReceiveBufferSize;
  const bool ok = socket.set_option(SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0;
  socket.close();
  return ok;
}

}  // namespace

const unsigned short CZudezPortFounder::kNoPortPair;

unsigned short CZudezPortFounder::execute() {
  // One socket per port of the pair, reused for every candidate. They are
  // never open at the same time: p is released before p + 1 is tried.
  ACE_SOCK_Dgram first;
  ACE_SOCK_Dgram second;
  unsigned short p = kFirstPort;
  while (p < kNoPortPair) {
    if (probe(first, p) && probe(second, static_cast<unsigned short>(p + 1))) {
      break;
    }
    p = static_cast<unsigned short>(p + 2);
  }
  return p;
}
