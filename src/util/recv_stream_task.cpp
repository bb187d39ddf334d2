#include <rtsppull/recv_stream_task.h>

CRecvStreamTask::CRecvStreamTask() {}

CRecvStreamTask& CRecvStreamTask::operator=(const CRecvStreamTask&) { return *this; }
