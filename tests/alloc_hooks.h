// Replacement global allocation functions for tests that count allocations
// or make them fail. Link alloc_hooks.cpp into a test executable of its own:
// it replaces operator new for the whole program.
#ifndef RTSPPULL_TESTS_ALLOC_HOOKS_H_
#define RTSPPULL_TESTS_ALLOC_HOOKS_H_

#include <atomic>
#include <cstddef>

namespace alloc_hooks {

// Number of calls of the ordinary (throwing) operator new so far.
extern std::atomic<long> newCalls;
// While positive, each throwing operator new call decrements it and the call
// that brings it to zero throws std::bad_alloc.
extern std::atomic<int> throwOnNthNew;
// While true, nothrow array allocations of at least this many bytes return
// null (the Boost.Pool default allocator uses them for its blocks).
extern std::atomic<bool> failBigNothrowArrays;
constexpr std::size_t kBigArray = 5000;

}  // namespace alloc_hooks

#endif  // RTSPPULL_TESTS_ALLOC_HOOKS_H_
