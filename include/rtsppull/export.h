// Export control for the rtsppull shared library.
//
// The library is built with hidden visibility by default; only the classes
// marked RTSPPULL_API (and their members) are visible to a host.
#ifndef RTSPPULL_EXPORT_H_
#define RTSPPULL_EXPORT_H_

#if defined(_WIN32)
#if defined(RTSPPULL_BUILDING)
#define RTSPPULL_API __declspec(dllexport)
#else
#define RTSPPULL_API __declspec(dllimport)
#endif
#else
#define RTSPPULL_API __attribute__((visibility("default")))
#endif

#endif  // RTSPPULL_EXPORT_H_
