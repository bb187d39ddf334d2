#include <rtsppull/rtp_receiver_udp.h>

#include "rtp/rtp_bytes.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include <ace/Guard_T.h>

namespace {

using rtpbytes::readBE16;
using rtpbytes::readBE32;

// Parses the fields that the bytes [0, length) cover; the others stay zero.
void parseHeader(const char* packet, std::size_t length, CRTPReceiverOnUDP::RTP& hdr) {
  hdr = CRTPReceiverOnUDP::RTP();
  const unsigned char* u = reinterpret_cast<const unsigned char*>(packet);
  if (length >= 1) {
    hdr.version = static_cast<std::uint8_t>(u[0] >> 6);
    hdr.padding = static_cast<std::uint8_t>((u[0] >> 5) & 1u);
    hdr.extension = static_cast<std::uint8_t>((u[0] >> 4) & 1u);
    hdr.csrcCount = static_cast<std::uint8_t>(u[0] & 0x0Fu);
  }
  if (length >= 2) {
    hdr.marker = static_cast<std::uint8_t>(u[1] >> 7);
    hdr.payloadType = static_cast<std::uint8_t>(u[1] & 0x7Fu);
  }
  if (length >= 4) hdr.seqNo = readBE16(packet + 2);
  if (length >= 8) hdr.timestamp = readBE32(packet + 4);
  // ssrc stays in wire order: its bytes are copied as they stand.
  if (length >= 12) std::memcpy(&hdr.ssrc, packet + 8, sizeof hdr.ssrc);
}

// A packet begins a frame when its first four payload bytes (bytes 12-15)
// are C0 02 40 FF or 01 00 00 00. A stored packet shorter than 16 bytes has
// no such word and never begins a frame.
bool beginsFrame(const CRTPReceiverOnUDP::RecvPacketBuf& buf) {
  static const unsigned char kStartA[4] = {0xC0, 0x02, 0x40, 0xFF};
  static const unsigned char kStartB[4] = {0x01, 0x00, 0x00, 0x00};
  if (buf.length < 16) return false;
  return std::memcmp(buf.data + 12, kStartA, 4) == 0 || std::memcmp(buf.data + 12, kStartB, 4) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// RecvPacketBuf and CRecvBufProxy

CRTPReceiverOnUDP::RecvPacketBuf::RecvPacketBuf() : length(0) { std::memset(data, 0, sizeof data); }

CRTPReceiverOnUDP::CRecvBufProxy::CRecvBufProxy(BufPool* pool, const char* data,
                                                unsigned int length)
    : pool_(pool), buf_(nullptr), refCount_(nullptr) {
  if (length > RecvPacketBuf::kCapacity) throw std::length_error("packet exceeds buffer");
  std::unique_ptr<int> count(new int(1));
  // object_pool::construct reports an exhausted allocator with a null
  // pointer rather than an exception.
  buf_ = pool_->construct();
  if (buf_ == nullptr) throw std::bad_alloc();
  if (length > 0) std::memcpy(buf_->data, data, length);
  buf_->length = length;
  refCount_ = count.release();
}

CRTPReceiverOnUDP::CRecvBufProxy::CRecvBufProxy(const CRecvBufProxy& other)
    : pool_(other.pool_), buf_(other.buf_), refCount_(other.refCount_) {
  if (refCount_ != nullptr) ++*refCount_;
}

CRTPReceiverOnUDP::CRecvBufProxy::~CRecvBufProxy() {
  if (refCount_ == nullptr) return;
  if (--*refCount_ <= 0) {
    pool_->destroy(buf_);
    delete refCount_;
    refCount_ = nullptr;
  }
}

// ---------------------------------------------------------------------------
// CRTPReceiverOnUDP

CRTPReceiverOnUDP::CRTPReceiverOnUDP(unsigned int capacity)
    : ptrBufPool_(new BufPool(capacity)), mapRecvBuf_(), mutex_() {}

// Members go in reverse order: the mutex, then the map (each handle returns
// its buffer to the pool), then the pool.
CRTPReceiverOnUDP::~CRTPReceiverOnUDP() {}

RTP_RECEIVER_IMPL CRTPReceiverOnUDP::getImplType() { return RTP_RECEIVER_UDP; }

bool CRTPReceiverOnUDP::Execute(IRTPReceiver* receiver, const std::string& data, bool isFileHeader,
                                SDP* sdp) {
  ACE_Guard<ACE_Thread_Mutex> guard(mutex_);

  // The file header bypasses the buffer; the host's exceptions reach the
  // caller here.
  if (isFileHeader && receiver != nullptr) {
    return receiver->OnRecvData(data.c_str(), static_cast<unsigned int>(data.length()),
                                isFileHeader, sdp);
  }

  // Packets refused up front (false, nothing buffered, no byte read):
  // - a null receiver: frames could never be delivered, so buffering would
  //   only hold packets back from a later caller that does pass one;
  // - more than 5000 bytes: cutting would hand the host a corrupted packet
  //   as if it were whole, so the packet is refused instead;
  // - fewer than 12 bytes: no complete RTP fixed header (below 4 bytes not
  //   even a sequence number), so it cannot be placed or judged.
  // Packets of 12 to 15 bytes are buffered: they carry a complete header and
  // may continue or end a frame, but never begin one (no frame-start word).
  if (receiver == nullptr || data.length() > RecvPacketBuf::kCapacity ||
      data.length() < kMinPacketLength) {
    return false;
  }

  try {
    recvIntactFrame(receiver, data.data(), static_cast<unsigned int>(data.length()));
  } catch (...) {
    return false;
  }
  return true;
}

void CRTPReceiverOnUDP::initRTPHeader(const std::string& packet, RTP& hdr, const char*& payload,
                                      int& payloadLength) {
  parseHeader(packet.data(), packet.length(), hdr);
  if (packet.length() <= 12) {
    payload = packet.c_str() + packet.length();
    payloadLength = 0;
    return;
  }
  payload = packet.c_str() + 12;
  const std::size_t rest = packet.length() - 12;
  payloadLength = rest > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(rest);
}

void CRTPReceiverOnUDP::recvIntactFrame(IRTPReceiver* receiver, const char* data,
                                        unsigned int length) {
  if (receiver == nullptr || data == nullptr || length < kMinPacketLength ||
      length > RecvPacketBuf::kCapacity) {
    throw std::invalid_argument("packet not accepted for buffering");
  }
  const unsigned short seqNo = readBE16(data + 2);
  CRecvBufProxy proxy(ptrBufPool_.get(), data, length);
  // A sequence number already buffered keeps its first copy; this one goes
  // back to the pool with `proxy`.
  mapRecvBuf_.try_emplace(seqNo, proxy);

  while (!mapRecvBuf_.empty()) {
    RecvBufMap::iterator frameEnd;
    if (isIntractFrame(frameEnd)) {
      for (RecvBufMap::iterator it = mapRecvBuf_.begin(); it != frameEnd; ++it) {
        const RecvPacketBuf* buf = it->second.buf();
        if (!receiver->OnRecvData(buf->data, buf->length, false, nullptr)) throw -1;
      }
      mapRecvBuf_.erase(mapRecvBuf_.begin(), frameEnd);
    } else if (mapRecvBuf_.size() <= kDropThreshold) {
      break;
    } else {
      deleteFirstUnIntractFrame();
    }
  }
}

// The stored packets are parsed in place (they are never modified while
// buffered), so judging a frame costs no copy.
bool CRTPReceiverOnUDP::isIntractFrame(RecvBufMap::iterator& frameEnd) {
  RecvBufMap::iterator it = mapRecvBuf_.begin();
  if (it == mapRecvBuf_.end()) return false;

  const RecvPacketBuf* buf = it->second.buf();
  if (!beginsFrame(*buf)) return false;
  RTP hdr;
  parseHeader(buf->data, buf->length, hdr);
  std::uint16_t runningSeqNo = hdr.seqNo;
  const std::uint32_t frameTimestamp = hdr.timestamp;
  ++it;
  if (hdr.marker != 0) {
    frameEnd = it;
    return true;
  }

  for (; it != mapRecvBuf_.end(); ++it) {
    buf = it->second.buf();
    parseHeader(buf->data, buf->length, hdr);
    runningSeqNo = static_cast<std::uint16_t>(runningSeqNo + 1);
    if (hdr.seqNo != runningSeqNo || hdr.timestamp != frameTimestamp) return false;
    // The marked packet ends the frame as soon as it is buffered, provided it
    // continues the run and carries the frame's timestamp like every other
    // packet: no later packet is awaited, so delivery costs no extra packet
    // of latency, and a frame whose packet before the marker was lost is not
    // delivered with a hole in it.
    if (hdr.marker != 0) {
      frameEnd = ++it;
      return true;
    }
  }
  return false;
}

void CRTPReceiverOnUDP::deleteFirstUnIntractFrame() {
  if (mapRecvBuf_.empty()) return;
  RecvBufMap::iterator it = mapRecvBuf_.begin();
  const std::uint32_t timestamp = readBE32(it->second.buf()->data + 4);
  ++it;
  while (it != mapRecvBuf_.end() && readBE32(it->second.buf()->data + 4) == timestamp) ++it;
  mapRecvBuf_.erase(mapRecvBuf_.begin(), it);
}
