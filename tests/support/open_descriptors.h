// The number of descriptors the process has open (from /proc/self/fd), or -1.
// Shared by the fault test, the client fuzz target and the soak programs.
#ifndef RTSPPULL_TESTS_SUPPORT_OPEN_DESCRIPTORS_H_
#define RTSPPULL_TESTS_SUPPORT_OPEN_DESCRIPTORS_H_

#include <dirent.h>

inline int openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = -1;  // the directory stream's own descriptor
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

#endif  // RTSPPULL_TESTS_SUPPORT_OPEN_DESCRIPTORS_H_
