// The ordered-delivery receiver implementation.
//
// Hands the receiver's OnRecvData RTP packets (not frames) one by one in
// sequence-number order. Sequence numbers are compared modulo 2^16 (they are
// extended to a running count, as RFC 3550 describes), so the wrap from
// 65535 to 0 is invisible to the host.
//
// Window: packets are held while an earlier sequence number is missing, but
// never more than `window` sequence numbers ahead of the next one due. A
// packet that lies further ahead makes room: the oldest missing numbers are
// counted as lost and delivery resumes at the next packet held (or at the new
// packet itself when nothing is held). At most `window` packets are held.
//
// The first packets: where the stream starts is not known from its first
// packet, so it is held like any other, and so is every packet after it,
// while a packet before all those held (within the window) moves the start
// back. Delivery begins, at the earliest packet held, once two packets in a
// row have not moved the start (or one lies beyond the window): a stream
// whose first packets arrive out of order is delivered in order from its
// true first packet. After a restart (see below) delivery begins at once.
//
// Dropped packets: one whose place was already passed is counted as late, or
// as a duplicate when it was delivered before (among the last 1024 places) or
// is held right now. A packet shorter than the 12-byte RTP header, or not of
// RTP version 2, is counted as invalid and dropped.
//
// Restarts: a new SSRC, or two consecutive sequence numbers that both lie
// more than 3000 places behind, mean the sender started afresh (a new session
// after a reconnection, for example): what is held is delivered in order
// first, then the count starts again at the new packet.
//
// RTCP (payload type 200 to 204 in the second byte, or anything handed to
// ExecuteRtcp) and the stream file header pass straight through, at once.
//
// Threads: Execute and ExecuteRtcp may be called from any thread; calls are
// serialised by the object's mutex, which is held while OnRecvData runs.
// counters() may be called from any thread, also from inside OnRecvData.
#ifndef RTSPPULL_RTP_RECEIVER_ORDERED_H_
#define RTSPPULL_RTP_RECEIVER_ORDERED_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <rtsppull/export.h>
#include <rtsppull/rtp_receiver.h>

class RTSPPULL_API CRTPReceiverOrdered : public CRTPReceiverImpl {
 protected:
  // Drops every held packet undelivered.
  ~CRTPReceiverOrdered() override;

 public:
  static constexpr unsigned int kDefaultWindow = 64;

  // A snapshot of the counts since construction.
  struct Counters {
    std::uint64_t delivered = 0;  // RTP packets handed to OnRecvData (refused ones included)
    std::uint64_t lost = 0;       // sequence numbers skipped without their packet
    std::uint64_t late = 0;       // dropped: arrived after their place was passed
    std::uint64_t duplicate = 0;  // dropped: already delivered or already held
    std::uint64_t invalid = 0;    // dropped: no RTP version 2 header
    std::uint64_t rtcp = 0;       // passed straight through as RTCP
    std::uint64_t restarts = 0;   // the sender started afresh (see above)
  };

  // `window`: how far ahead of the next packet due a packet may be held; 0
  // counts as 1 (no reordering, losses skipped at once), more than 4096 as
  // 4096.
  explicit CRTPReceiverOrdered(unsigned int window = kDefaultWindow);
  CRTPReceiverOrdered(const CRTPReceiverOrdered&) = delete;
  CRTPReceiverOrdered& operator=(const CRTPReceiverOrdered&) = delete;

  // False for a null receiver. The file header and RTCP go straight to
  // receiver->OnRecvData and return its verdict. An RTP packet is held or
  // dropped as described above, and every packet that is now in order is
  // delivered. True unless the host refused a delivered packet or something
  // threw (then false; the refused packet counts as delivered and is not
  // offered again, packets still held wait for the next call). Exceptions
  // from the host pass through only for the file header.
  bool Execute(IRTPReceiver* receiver, const std::string& data, bool isFileHeader,
               SDP* sdp) override;
  // Passes `data` straight through as RTCP, whatever its bytes.
  bool ExecuteRtcp(IRTPReceiver* receiver, const std::string& data);
  RTP_RECEIVER_IMPL getImplType() override;  // 102

  Counters counters() const;
  unsigned int window() const { return window_; }

 private:
  struct Slot {
    std::int64_t place = -1;  // extended sequence number held; -1: empty
    std::string packet;
  };

  bool passThrough(IRTPReceiver* receiver, const std::string& data);
  void file(IRTPReceiver* receiver, const std::string& data, bool& refused);
  void restart(IRTPReceiver* receiver, bool& refused);
  // Delivers the packets held from next_ on without a gap, up to a refusal.
  void deliverRun(IRTPReceiver* receiver, bool& refused);
  void deliver(IRTPReceiver* receiver, Slot& slot, bool& refused);
  // Skips missing places up to the oldest held packet (or to `limit` when
  // nothing is held), counting them as lost.
  void skipToHeld(std::int64_t limit);
  Slot& slotOf(std::int64_t place) { return held_[static_cast<std::size_t>(place) % held_.size()]; }

  const unsigned int window_;
  std::mutex mutex_;
  // Guarded by mutex_.
  bool started_ = false;
  std::int64_t next_ = 0;  // extended sequence number due next
  std::size_t heldCount_ = 0;
  std::uint32_t ssrc_ = 0;
  std::int64_t farBehindNext_ = -1;  // seq that confirms a restart; -1: none
  // The first packets: held while holdingStart_; the latest place held and
  // the packets filed since the start last moved back.
  bool everStarted_ = false;
  bool holdingStart_ = false;
  std::int64_t startTop_ = 0;
  int startRun_ = 0;
  std::vector<Slot> held_;            // `window_` slots, indexed by place % window_
  std::vector<std::int64_t> recent_;  // places delivered, indexed by place % size
  // Written under mutex_, read from any thread.
  std::atomic<std::uint64_t> delivered_{0}, lost_{0}, late_{0}, duplicate_{0}, invalid_{0},
      rtcp_{0}, restarts_{0};
};

#endif  // RTSPPULL_RTP_RECEIVER_ORDERED_H_
