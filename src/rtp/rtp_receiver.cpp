#include <rtsppull/rtp_receiver.h>

// ---------------------------------------------------------------------------
// CRTPReceiverImpl

CRTPReceiverImpl::CRTPReceiverImpl() {}

CRTPReceiverImpl::CRTPReceiverImpl(const CRTPReceiverImpl&) {}

CRTPReceiverImpl& CRTPReceiverImpl::operator=(const CRTPReceiverImpl&) { return *this; }

CRTPReceiverImpl::~CRTPReceiverImpl() {}

void CRTPReceiverImpl::Destroy() { delete this; }

// ---------------------------------------------------------------------------
// IRTPReceiver

IRTPReceiver::IRTPReceiver() : ptrImpl_() {}

// Implementation objects are owned exclusively, so a copy never shares the
// source's: it gets a new one of the same type through changeImpl, or none.
IRTPReceiver::IRTPReceiver(const IRTPReceiver& other) : ptrImpl_() {
  if (other.ptrImpl_) changeImpl(other.ptrImpl_->getImplType());
}

// The target's own implementation (with anything it buffers) is destroyed
// first, then a new one of the source's type is installed, so assignment
// gives the same result as copy construction.
IRTPReceiver& IRTPReceiver::operator=(const IRTPReceiver& other) {
  if (this != &other) {
    ptrImpl_.reset();
    if (other.ptrImpl_) changeImpl(other.ptrImpl_->getImplType());
  }
  return *this;
}

IRTPReceiver::~IRTPReceiver() {}

bool IRTPReceiver::Execute(const std::string& data, bool isFileHeader, SDP* sdp) {
  if (!ptrImpl_) return false;
  return ptrImpl_->Execute(this, data, isFileHeader, sdp);
}

// ---------------------------------------------------------------------------
// CRTPReceiverOnTCP

CRTPReceiverOnTCP::CRTPReceiverOnTCP() {}

CRTPReceiverOnTCP::CRTPReceiverOnTCP(const CRTPReceiverOnTCP& other) : CRTPReceiverImpl(other) {}

CRTPReceiverOnTCP& CRTPReceiverOnTCP::operator=(const CRTPReceiverOnTCP& other) {
  CRTPReceiverImpl::operator=(other);
  return *this;
}

CRTPReceiverOnTCP::~CRTPReceiverOnTCP() {}

bool CRTPReceiverOnTCP::Execute(IRTPReceiver* receiver, const std::string& data, bool isFileHeader,
                                SDP* sdp) {
  if (receiver == nullptr) return false;
  return receiver->OnRecvData(data.c_str(), static_cast<unsigned int>(data.length()), isFileHeader,
                              sdp);
}

RTP_RECEIVER_IMPL CRTPReceiverOnTCP::getImplType() { return RTP_RECEIVER_TCP; }
