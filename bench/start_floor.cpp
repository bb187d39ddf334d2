// The start-up floor of every host of the library: a program that loads what
// librtsppull.so itself loads (libstdc++ with its standard streams, ACE and
// ACE's own dependencies) and does nothing else. Its CPU time, page faults
// and peak RSS are what a host pays before the library runs a single line;
// compare.py sets them beside the clients' own start-up figures.
#include <ace/Thread_Mutex.h>

#include <iostream>

int main() {
  // One call into ACE, so that the linker keeps the dependency; the stream
  // write initialises the standard streams as the library's diagnostics do.
  ACE_Thread_Mutex lock;
  lock.acquire();
  lock.release();
  std::cout << "usage: start_floor (loads libstdc++ and ACE, then exits)\n";
  return 2;
}
