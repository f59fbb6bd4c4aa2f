// The platform's interlocked calls. Each is one sequentially consistent read-modify-write: atomic
// against the others on the same word and a full barrier, as the platform's are. They go through
// std::atomic_ref, so ThreadSanitizer sees them as the atomic operations they are.
#include <atomic>

#include "platform/ce_os.h"

namespace {

// The callers' words are plain LONG and pointer fields (the platform's calls take them without
// volatile); the qualifier of the published signature is dropped for the atomic view.
std::atomic_ref<LONG> Word(LONG volatile* p) {
  return std::atomic_ref<LONG>(*const_cast<LONG*>(p));
}

std::atomic_ref<PVOID> Pointer(PVOID volatile* p) {
  return std::atomic_ref<PVOID>(*const_cast<PVOID*>(p));
}

// Wraps like the platform's 32-bit arithmetic does.
LONG Add(LONG a, LONG b) {
  return static_cast<LONG>(static_cast<DWORD>(a) + static_cast<DWORD>(b));
}

}  // namespace

extern "C" LONG WINAPI InterlockedIncrement(LONG volatile* addend) {
  return Add(Word(addend).fetch_add(1), 1);
}

extern "C" LONG WINAPI InterlockedDecrement(LONG volatile* addend) {
  return Add(Word(addend).fetch_sub(1), -1);
}

extern "C" LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
  return Word(target).exchange(value);
}

extern "C" LONG WINAPI InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  return Word(addend).fetch_add(value);
}

extern "C" LONG WINAPI InterlockedCompareExchange(LONG volatile* destination, LONG exchange,
                                                  LONG comperand) {
  Word(destination).compare_exchange_strong(comperand, exchange);
  return comperand;
}

extern "C" PVOID WINAPI InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return Pointer(target).exchange(value);
}

extern "C" PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* destination,
                                                          PVOID exchange, PVOID comperand) {
  Pointer(destination).compare_exchange_strong(comperand, exchange);
  return comperand;
}
