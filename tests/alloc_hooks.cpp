#include "alloc_hooks.h"

#include <cstdlib>
#include <new>

namespace alloc_hooks {
std::atomic<long> newCalls{0};
std::atomic<int> throwOnNthNew{0};
std::atomic<bool> failBigNothrowArrays{false};
}  // namespace alloc_hooks

// The array and nothrow forms of the library forward to these, so memory
// from any form is released by the matching delete below.
void* operator new(std::size_t size) {
  alloc_hooks::newCalls.fetch_add(1, std::memory_order_relaxed);
  int n = alloc_hooks::throwOnNthNew.load();
  while (n > 0 && !alloc_hooks::throwOnNthNew.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1) throw std::bad_alloc();
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (alloc_hooks::failBigNothrowArrays.load() && size >= alloc_hooks::kBigArray) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
