// Version of the rtsppull headers; matches the shared library's VERSION.
#ifndef RTSPPULL_VERSION_H_
#define RTSPPULL_VERSION_H_

#define RTSPPULL_VERSION_MAJOR 0
#define RTSPPULL_VERSION_MINOR 1
#define RTSPPULL_VERSION_PATCH 0

#endif  // RTSPPULL_VERSION_H_
