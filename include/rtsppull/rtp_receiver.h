// The host-facing receiver and its pass-through implementation.
//
// A host derives its receiver from IRTPReceiver and implements OnRecvData.
// Everything the library produces reaches the host through
// IRTPReceiver::Execute, which forwards to the implementation object the
// receiver owns (installed by changeImpl).
#ifndef RTSPPULL_RTP_RECEIVER_H_
#define RTSPPULL_RTP_RECEIVER_H_

#include <memory>
#include <string>

#include <rtsppull/export.h>
#include <rtsppull/sdp.h>

// Implementation types; the values are what getImplType returns and what
// changeImpl takes.
enum RTP_RECEIVER_IMPL {
  RTP_RECEIVER_UDP = 100,     // CRTPReceiverOnUDP: reorders, hands on whole frames
  RTP_RECEIVER_TCP = 101,     // CRTPReceiverOnTCP: hands everything straight on
  RTP_RECEIVER_ORDERED = 102  // CRTPReceiverOrdered: hands on packets in sequence order
};

class IRTPReceiver;

// Strategy between a receiver and its host's OnRecvData. Implementation
// objects always live on the heap and are deleted only through Destroy().
class RTSPPULL_API CRTPReceiverImpl {
 protected:
  virtual ~CRTPReceiverImpl();

 public:
  CRTPReceiverImpl();
  CRTPReceiverImpl(const CRTPReceiverImpl& other);
  CRTPReceiverImpl& operator=(const CRTPReceiverImpl& other);

  // Hands `data` on to receiver->OnRecvData as the implementation sees fit.
  virtual bool Execute(IRTPReceiver* receiver, const std::string& data, bool isFileHeader,
                       SDP* sdp) = 0;
  virtual RTP_RECEIVER_IMPL getImplType() = 0;

  // Deletes this object through its virtual destructor.
  void Destroy();
};

// Base class of the host's receiver. The host allocates its receiver on the
// heap; once registered with a CRTSPDownload the session owns and deletes it.
class RTSPPULL_API IRTPReceiver {
 public:
  // A new receiver has no implementation: Execute returns false until
  // changeImpl installs one.
  IRTPReceiver();
  // A copy gets its own, fresh implementation of the same type as the
  // source's (none if the source has none). Buffered packets are not copied;
  // implementation objects are never shared between receivers.
  IRTPReceiver(const IRTPReceiver& other);
  IRTPReceiver& operator=(const IRTPReceiver& other);
  virtual ~IRTPReceiver();

  // Implemented by the host. `data` is valid only during the call. Return
  // true to accept the data, false to refuse it. Called on whichever thread
  // called Execute (in a session: the host thread for the stream file header,
  // the receive thread for packets). The receive thread has a 256 KiB stack,
  // of which OnRecvData may use about 200 KiB: a host that needs more keeps
  // large buffers on the heap or hands the data to a thread of its own.
  virtual bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) = 0;

  // Forwards to the installed implementation, passing this receiver; false
  // when none is installed.
  bool Execute(const std::string& data, bool isFileHeader, SDP* sdp);

  // Installs the implementation of `type` (100, 101 or 102); keeps the current one
  // if it already has that type; any other value leaves none. Must not run
  // while another thread may be inside Execute on this receiver.
  void changeImpl(RTP_RECEIVER_IMPL type);

 private:
  struct ImplDeleter {
    void operator()(CRTPReceiverImpl* impl) const {
      if (impl != nullptr) impl->Destroy();
    }
  };
  std::unique_ptr<CRTPReceiverImpl, ImplDeleter> ptrImpl_;
};

// Pass-through implementation: every piece of data goes straight to the
// receiver's OnRecvData. Stateless, lock-free; may be used from any thread.
class RTSPPULL_API CRTPReceiverOnTCP : public CRTPReceiverImpl {
 protected:
  ~CRTPReceiverOnTCP() override;

 public:
  CRTPReceiverOnTCP();
  CRTPReceiverOnTCP(const CRTPReceiverOnTCP& other);
  CRTPReceiverOnTCP& operator=(const CRTPReceiverOnTCP& other);

  // False for a null receiver; otherwise the receiver's OnRecvData verdict.
  // Exceptions from OnRecvData pass through.
  bool Execute(IRTPReceiver* receiver, const std::string& data, bool isFileHeader,
               SDP* sdp) override;
  RTP_RECEIVER_IMPL getImplType() override;  // 101
};

#endif  // RTSPPULL_RTP_RECEIVER_H_
