// A timed exact-length receive for the control connection.
#ifndef RTSPPULL_SESSION_TIMED_RECV_H_
#define RTSPPULL_SESSION_TIMED_RECV_H_

#include <sys/types.h>

#include <cstddef>

#include <ace/Time_Value.h>

// Reads exactly `len` bytes from the socket `handle` into `buf`. Same contract
// as ACE::recv_n with a timeout: every wait for more data may last up to
// `timeout`; the result is `len` when all bytes arrived, 0 when the peer
// closed the connection first, -1 on an error or when a wait timed out
// (errno ETIME). `transferred` is set to the number of bytes stored, whatever
// the result.
//
// Unlike ACE's version it never changes the socket's blocking mode: each read
// is a single non-blocking recv, and poll waits only when no data is there.
// A receive whose data has already arrived therefore costs one system call.
// The socket may be in either mode; it is left as it was.
ssize_t recvExactTimed(ACE_HANDLE handle, char* buf, std::size_t len, const ACE_Time_Value& timeout,
                       std::size_t& transferred);

#endif  // RTSPPULL_SESSION_TIMED_RECV_H_
