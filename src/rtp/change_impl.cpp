#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_ordered.h>
#include <rtsppull/rtp_receiver_udp.h>

// An installed implementation of the requested type stays (a reordering one
// keeps what it buffers); any other is destroyed before the new one is
// created, so a throwing allocation leaves the receiver without one.
void IRTPReceiver::changeImpl(RTP_RECEIVER_IMPL type) {
  if (ptrImpl_ && ptrImpl_->getImplType() == type) return;
  ptrImpl_.reset();
  switch (type) {
    case RTP_RECEIVER_UDP:
      ptrImpl_.reset(new CRTPReceiverOnUDP(100));
      break;
    case RTP_RECEIVER_TCP:
      ptrImpl_.reset(new CRTPReceiverOnTCP);
      break;
    case RTP_RECEIVER_ORDERED:
      ptrImpl_.reset(new CRTPReceiverOrdered);
      break;
    default:
      // Unknown values leave the receiver without an implementation.
      break;
  }
}
