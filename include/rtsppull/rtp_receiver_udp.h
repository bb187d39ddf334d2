// The reordering receiver implementation.
//
// Buffers RTP packets by sequence number in pooled 5000-byte buffers and
// hands the receiver's OnRecvData only whole frames, packet by packet in
// ascending sequence-number order. Execute may be called from any thread;
// calls are serialised by the object's own mutex, which is held while the
// host's OnRecvData runs.
//
// Frames: a frame starts with a packet whose first four payload bytes are
// C0 02 40 FF or 01 00 00 00 and ends with the packet that carries the RTP
// marker bit. In between, sequence numbers must follow one another and all
// packets must share the first packet's timestamp. Entries are ordered by the
// plain value of their 16-bit sequence number (no wrap-around handling).
// While the front frame is incomplete and more than 60 packets wait, the
// leading run of packets sharing the front packet's timestamp is dropped.
#ifndef RTSPPULL_RTP_RECEIVER_UDP_H_
#define RTSPPULL_RTP_RECEIVER_UDP_H_

#include <cstdint>
#include <functional>
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
    static constexpr unsigned int kCapacity = 5000;
    // Zero-fills the whole buffer; runs each time the pool hands it out.
    RecvPacketBuf();
    char data[kCapacity];
    std::uint32_t length;
  };

  // The RTP fixed header. seqNo and timestamp are in host byte order; ssrc is
  // kept as it stands on the wire (network byte order).
  struct RTP {
    std::uint8_t version;      // 2 bits
    std::uint8_t padding;      // 1 bit
    std::uint8_t extension;    // 1 bit
    std::uint8_t csrcCount;    // 4 bits
    std::uint8_t marker;       // 1 bit: last packet of a frame
    std::uint8_t payloadType;  // 7 bits
    std::uint16_t seqNo;
    std::uint32_t timestamp;
    std::uint32_t ssrc;
  };

  // Smallest packet that is buffered: the 12-byte RTP fixed header.
  static constexpr unsigned int kMinPacketLength = 12;
  // Dropping of an incomplete front frame starts above this many entries.
  static constexpr std::size_t kDropThreshold = 60;

  typedef boost::object_pool<RecvPacketBuf> BufPool;

  // Reference-counted handle to one pooled buffer; copies share the buffer,
  // the 5000 bytes are never copied. Not thread-safe: every handle of one
  // receiver is created and destroyed under its mutex_ (or in its destructor).
  class CRecvBufProxy {
   public:
    // Takes a buffer from `pool` and copies the packet into it. Throws
    // std::bad_alloc when the pool cannot supply a buffer and
    // std::length_error when `length` exceeds the buffer; nothing is written
    // in either case.
    CRecvBufProxy(BufPool* pool, const char* data, unsigned int length);
    CRecvBufProxy(const CRecvBufProxy& other);
    CRecvBufProxy& operator=(const CRecvBufProxy&) = delete;
    // The last handle returns the buffer to the pool.
    ~CRecvBufProxy();

    const RecvPacketBuf* buf() const { return buf_; }

   private:
    BufPool* pool_;
    RecvPacketBuf* buf_;
    int* refCount_;
  };

  typedef std::map<unsigned short, CRecvBufProxy, std::less<unsigned short>> RecvBufMap;

  // `capacity`: number of buffers in the pool's first memory block; the
  // pool grows on demand, so this is no limit.
  explicit CRTPReceiverOnUDP(unsigned int capacity = 100);
  CRTPReceiverOnUDP(const CRTPReceiverOnUDP&) = delete;
  CRTPReceiverOnUDP& operator=(const CRTPReceiverOnUDP&) = delete;

  // File header (with a receiver): passed straight to receiver->OnRecvData,
  // whose result and exceptions pass through. Anything else is a packet,
  // refused with false and not buffered when `receiver` is null or the packet
  // is shorter than 12 or longer than 5000 bytes; otherwise it is buffered
  // and whole frames are delivered. True when processed without failure
  // (buffered, delivered, discarded as duplicate or dropped alike), false
  // when the host refused a packet or anything else failed (buffer or memory
  // exhausted, an exception from the host). Never throws on the packet path.
  bool Execute(IRTPReceiver* receiver, const std::string& data, bool isFileHeader,
               SDP* sdp) override;
  RTP_RECEIVER_IMPL getImplType() override;  // 100

 protected:
  // Parses the RTP fixed header of `packet`. The payload is everything after
  // the 12-byte fixed header (CSRC list, extension and padding are not
  // looked at). A packet shorter than 12 bytes yields the fields its bytes
  // cover, zero for the rest, and an empty payload at its end; nothing past
  // the packet is read.
  void initRTPHeader(const std::string& packet, RTP& hdr, const char*& payload, int& payloadLength);
  // Files one packet and delivers every complete frame at the front; throws
  // the int -1 when the host refuses a packet. Requires a receiver and a
  // length from 12 to 5000 bytes (throws std::invalid_argument otherwise).
  void recvIntactFrame(IRTPReceiver* receiver, const char* data, unsigned int length);
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
