// Placeholder task class kept for hosts that declare it; it has no behaviour.
#ifndef RTSPPULL_RECV_STREAM_TASK_H_
#define RTSPPULL_RECV_STREAM_TASK_H_

#include <rtsppull/export.h>

class RTSPPULL_API CRecvStreamTask {
 public:
  CRecvStreamTask();
  CRecvStreamTask& operator=(const CRecvStreamTask& other);
};

#endif  // RTSPPULL_RECV_STREAM_TASK_H_
