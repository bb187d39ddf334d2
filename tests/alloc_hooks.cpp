#include "alloc_hooks.h"

#include <cstdlib>
#include <new>

namespace alloc_hooks {
std::atomic<long> newCalls{0};
std::atomic<int> throwOnNthNew{0};
std::atomic<bool> failBigNothrowArrays{false};
}  // namespace alloc_hooks

// Every ordinary (unaligned) form is replaced and backed by malloc/free, so
// any allocation is released by a matching form, with or without sanitizers.

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

void* operator new[](std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (alloc_hooks::failBigNothrowArrays.load() && size >= alloc_hooks::kBigArray) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
