// Number of receiver implementation objects alive in the process.
//
// Internal: lets tests check that copying and replacing implementations
// neither leaks nor double-destroys one. Not exported from the library.
#ifndef RTSPPULL_RTP_IMPL_COUNT_H_
#define RTSPPULL_RTP_IMPL_COUNT_H_

long liveReceiverImplCount();

#endif  // RTSPPULL_RTP_IMPL_COUNT_H_
