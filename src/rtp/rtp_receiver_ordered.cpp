#include <rtsppull/rtp_receiver_ordered.h>

#include "rtp/rtp_bytes.h"

#include <algorithm>

namespace {

using rtpbytes::readBE16;
using rtpbytes::readBE32;

// Places delivered that are remembered to tell a duplicate from a late packet.
const std::size_t kRecentPlaces = 1024;
// A packet further behind than this is a sign that the sender started afresh.
const std::int64_t kMaxMisorder = 3000;
// Larger windows would reach past half the sequence-number space.
const unsigned int kMaxWindow = 4096;
const std::size_t kRtpHeaderLength = 12;

bool looksLikeRtcp(const std::string& data) {
  if (data.size() < 2) return false;
  const unsigned type = static_cast<unsigned char>(data[1]);
  return type >= 200 && type <= 204;
}

}  // namespace

CRTPReceiverOrdered::CRTPReceiverOrdered(unsigned int window)
    : window_(std::min(std::max(window, 1u), kMaxWindow)),
      held_(window_),
      recent_(kRecentPlaces, -1) {}

CRTPReceiverOrdered::~CRTPReceiverOrdered() {}

RTP_RECEIVER_IMPL CRTPReceiverOrdered::getImplType() { return RTP_RECEIVER_ORDERED; }

CRTPReceiverOrdered::Counters CRTPReceiverOrdered::counters() const {
  Counters c;
  c.delivered = delivered_.load();
  c.lost = lost_.load();
  c.late = late_.load();
  c.duplicate = duplicate_.load();
  c.invalid = invalid_.load();
  c.rtcp = rtcp_.load();
  c.restarts = restarts_.load();
  return c;
}

bool CRTPReceiverOrdered::ExecuteRtcp(IRTPReceiver* receiver, const std::string& data) {
  if (receiver == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return passThrough(receiver, data);
}

bool CRTPReceiverOrdered::passThrough(IRTPReceiver* receiver, const std::string& data) {
  ++rtcp_;
  try {
    return receiver->OnRecvData(data.data(), static_cast<unsigned int>(data.size()), false,
                                nullptr);
  } catch (...) {
    return false;
  }
}

bool CRTPReceiverOrdered::Execute(IRTPReceiver* receiver, const std::string& data,
                                  bool isFileHeader, SDP* sdp) {
  if (receiver == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (isFileHeader) {
    return receiver->OnRecvData(data.data(), static_cast<unsigned int>(data.size()), true, sdp);
  }
  if (looksLikeRtcp(data)) return passThrough(receiver, data);
  if (data.size() < kRtpHeaderLength || (static_cast<unsigned char>(data[0]) >> 6) != 2) {
    ++invalid_;
    return true;
  }
  bool refused = false;
  try {
    file(receiver, data, refused);
  } catch (...) {
    return false;
  }
  return !refused;
}

void CRTPReceiverOrdered::file(IRTPReceiver* receiver, const std::string& data, bool& refused) {
  const std::uint16_t seq = readBE16(data.data() + 2);
  const std::uint32_t ssrc = readBE32(data.data() + 8);
  if (started_ && ssrc != ssrc_) restart(receiver, refused);
  if (!started_) {
    started_ = true;
    ssrc_ = ssrc;
    // Places stay far above zero, and above every place remembered before a
    // restart, so that a remembered place never matches a new one.
    next_ = ((next_ >> 16) + 2) * 65536 + seq;
    farBehindNext_ = -1;
    holdingStart_ = !everStarted_ && window_ > 1;
    everStarted_ = true;
    startTop_ = next_;
    startRun_ = 0;
  }
  const std::int64_t delta = static_cast<std::int16_t>(
      static_cast<std::uint16_t>(seq - static_cast<std::uint16_t>(next_)));
  const std::int64_t place = next_ + delta;

  // Before every packet of the start held, and within the window of the
  // latest: the stream starts earlier.
  if (holdingStart_ && delta < 0 && startTop_ - place < static_cast<std::int64_t>(window_)) {
    next_ = place;
    startRun_ = 0;
    Slot& slot = slotOf(place);
    slot.place = place;
    slot.packet.assign(data);
    ++heldCount_;
    return;
  }

  if (delta < 0) {
    if (delta < -kMaxMisorder) {
      // Two consecutive numbers far behind: the sender started afresh.
      if (farBehindNext_ == seq) {
        restart(receiver, refused);
        file(receiver, data, refused);
        return;
      }
      farBehindNext_ = static_cast<std::uint16_t>(seq + 1);
    }
    if (recent_[static_cast<std::size_t>(place) % recent_.size()] == place) {
      ++duplicate_;
    } else {
      ++late_;
    }
    return;
  }
  farBehindNext_ = -1;
  if (slotOf(place).place == place) {
    ++duplicate_;
    return;
  }
  // Make room: the new packet must lie within the window ahead of next_.
  // Packets leaving the window go out even after a refusal.
  while (place - next_ >= static_cast<std::int64_t>(window_)) {
    holdingStart_ = false;
    skipToHeld(place);
    if (slotOf(next_).place == next_) deliver(receiver, slotOf(next_), refused);
  }
  Slot& slot = slotOf(place);
  slot.place = place;
  slot.packet.assign(data);
  ++heldCount_;
  if (holdingStart_) {
    startTop_ = std::max(startTop_, place);
    if (++startRun_ < 2) return;
    holdingStart_ = false;
  }
  deliverRun(receiver, refused);
}

void CRTPReceiverOrdered::skipToHeld(std::int64_t limit) {
  std::int64_t target = limit;
  if (heldCount_ > 0) {
    for (std::int64_t p = next_; p < next_ + static_cast<std::int64_t>(window_); ++p) {
      if (slotOf(p).place == p) {
        target = p;
        break;
      }
    }
  }
  lost_ += static_cast<std::uint64_t>(target - next_);
  next_ = target;
}

void CRTPReceiverOrdered::deliverRun(IRTPReceiver* receiver, bool& refused) {
  while (!refused && heldCount_ > 0 && slotOf(next_).place == next_) {
    deliver(receiver, slotOf(next_), refused);
  }
}

// The slot is emptied and next_ moved on before the host is called, so that a
// throwing host leaves a consistent state behind.
void CRTPReceiverOrdered::deliver(IRTPReceiver* receiver, Slot& slot, bool& refused) {
  std::string packet;
  packet.swap(slot.packet);
  recent_[static_cast<std::size_t>(slot.place) % recent_.size()] = slot.place;
  slot.place = -1;
  --heldCount_;
  ++next_;
  ++delivered_;
  if (!receiver->OnRecvData(packet.data(), static_cast<unsigned int>(packet.size()), false,
                            nullptr)) {
    refused = true;
  }
  // Hand the capacity back to the slot for the next packet it holds.
  if (slot.packet.empty()) slot.packet.swap(packet);
}

// Delivers what is held, in order (gaps among it count as lost), and forgets
// the old stream.
void CRTPReceiverOrdered::restart(IRTPReceiver* receiver, bool& refused) {
  while (heldCount_ > 0) {
    skipToHeld(next_ + static_cast<std::int64_t>(window_));
    deliver(receiver, slotOf(next_), refused);
  }
  started_ = false;
  holdingStart_ = false;
  ++restarts_;
}
