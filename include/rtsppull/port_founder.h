// Finder of a free even/odd local UDP port pair.
#ifndef RTSPPULL_PORT_FOUNDER_H_
#define RTSPPULL_PORT_FOUNDER_H_

#include <rtsppull/export.h>

class RTSPPULL_API CZudezPortFounder {
 public:
  // Result meaning that no pair could be bound.
  static const unsigned short kNoPortPair = 60000;

  // Returns the lowest even port p in [30000, 59998] such that p and then
  // p + 1 can each be bound on all local addresses and given a 32768-byte
  // receive buffer; kNoPortPair when none can. Only probes: every socket it
  // opens is closed before it returns, so the ports are not reserved.
  // Stateless; any thread may call it.
  static unsigned short execute();
};

#endif  // RTSPPULL_PORT_FOUNDER_H_
