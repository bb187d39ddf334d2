// The reordering receiver implementation.
//
// Buffers RTP packets by sequence number in pooled 5000-byte buffers and
// hands the receiver's OnRecvData only whole frames, packet by packet in
// ascending sequence-number order. Execute may be called from any thread;
// calls are serialised by the object's own mutex, which is held while the
// host's OnRecvData runs.
#ifndef RTSPPULL_RTP_RECEIVER_UDP_H_
#define RTSPPULL_RTP_RECEIVER_UDP_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <ace/Thread_Mutex.h>
#include <boost/pool/object_pool.hpp>

#include <rtsppull/export.h>
#include <rtsppull/rtp_receiver.h>

class RTSPPULL_API CRTPReceiverOnUDP : public CRTPReceiverImpl {
 protected:
  // Drops every buffered packet undelivered; all buffers go back to the pool
  // before the pool is freed.
  ~CRTPReceiverOnUDP() override;

 public:
  // One stored packet: the pool's element type.
  struct RecvPacketBuf {
    static const unsigned int kCapacity = 5000;
    RecvPacketBuf();
    char data[kCapacity];
    std::uint32_t length;
  };

  // The RTP fixed header, fields in host byte order except ssrc, which is
  // kept as it stands on the wire.
  struct RTP {
    std::uint8_t version;
    std::uint8_t padding;
    std::uint8_t extension;
    std::uint8_t csrcCount;
    std::uint8_t marker;
    std::uint8_t payloadType;
    std::uint16_t seqNo;
    std::uint32_t timestamp;
    std::uint32_t ssrc;
  };

  typedef boost::object_pool<RecvPacketBuf> BufPool;

  // Reference-counted handle to one pooled buffer; copies share the buffer.
  // Only created and destroyed under mutex_ (or in the destructor).
  class CRecvBufProxy {
   public:
    CRecvBufProxy(BufPool* pool, const char* data, unsigned int length);
    CRecvBufProxy(const CRecvBufProxy& other);
    CRecvBufProxy& operator=(const CRecvBufProxy&) = delete;
    ~CRecvBufProxy();

    const RecvPacketBuf* buf() const { return buf_; }

   private:
    BufPool* pool_;
    RecvPacketBuf* buf_;
    int* refCount_;
  };

  typedef std::map<unsigned short, CRecvBufProxy> RecvBufMap;

  // `capacity`: number of buffers in the pool's first memory block; the
  // pool grows on demand, so this is no limit.
  explicit CRTPReceiverOnUDP(unsigned int capacity = 100);
  CRTPReceiverOnUDP(const CRTPReceiverOnUDP&) = delete;
  CRTPReceiverOnUDP& operator=(const CRTPReceiverOnUDP&) = delete;

  // File header: passed straight to receiver->OnRecvData (its exceptions pass
  // through). Data: buffered and whole frames delivered; true when processed
  // without failure (buffered, delivered, discarded or dropped alike), false
  // when the host refused a packet or anything else failed. Never throws on
  // the data path.
  bool Execute(IRTPReceiver* receiver, const std::string& data,
               bool isFileHeader, SDP* sdp) override;
  RTP_RECEIVER_IMPL getImplType() override;  // 100

 protected:
  // Parses the 12-byte fixed header of `packet` (at least 12 bytes long).
  void initRTPHeader(const std::string& packet, RTP& hdr,
                     const char*& payload, int& payloadLength);
  // Files one packet and delivers every complete frame at the front; throws
  // the int -1 when the host refuses a packet.
  void recvIntactFrame(IRTPReceiver* receiver, const char* data,
                       unsigned int length);
  // Removes the front frame: the leading run of entries sharing the first
  // entry's timestamp.
  void deleteFirstUnIntractFrame();

 private:
  bool isIntractFrame(RecvBufMap::iterator& frameEnd);

  // Declared before the map: the pool must outlive every handle.
  std::unique_ptr<BufPool> ptrBufPool_;
  RecvBufMap mapRecvBuf_;
  ACE_Thread_Mutex mutex_;
};

#endif  // RTSPPULL_RTP_RECEIVER_UDP_H_
