// Helpers shared by the tests of the simulated OS services.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/ce_os.h"

namespace ostest {

using Clock = std::chrono::steady_clock;

constexpr DWORD kInvalidHandle = static_cast<DWORD>(ERROR_INVALID_HANDLE);
constexpr DWORD kInvalidParameter = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
constexpr DWORD kNotEnoughMemory = static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);

inline double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// At least `ms` have passed since start; at most five seconds more, however busy the machine.
inline void ExpectElapsed(Clock::time_point start, double ms) {
  const double elapsed = MsSince(start);
  EXPECT_GE(elapsed, ms);
  EXPECT_LT(elapsed, ms + 5000.0);
}

inline DWORD WINAPI RunFunction(LPVOID p) {
  // Owned here so that ExitThread's unwinding releases it too.
  std::unique_ptr<std::function<DWORD()>> fn(static_cast<std::function<DWORD()>*>(p));
  return (*fn)();
}

// Runs fn on a thread made by CreateThread; its return value is the exit code.
inline HANDLE Start(std::function<DWORD()> fn, DWORD* id = nullptr) {
  auto* owned = new std::function<DWORD()>(std::move(fn));
  HANDLE h = CreateThread(nullptr, 0, RunFunction, owned, 0, id);
  if (h == nullptr) delete owned;
  return h;
}

inline HANDLE NewEvent(bool manual, bool initial = false) {
  return CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr);
}

// A thread that sets the event after `ms`; its exit code is 0 when the set succeeded.
inline HANDLE SetLater(HANDLE ev, DWORD ms) {
  return Start([ev, ms] {
    Sleep(ms);
    return SetEvent(ev) ? 0u : 1u;
  });
}

// Waits for the thread to end and closes its handle; returns its exit code (or WAIT_FAILED).
inline DWORD Join(HANDLE thread, DWORD ms = 10000) {
  DWORD code = WAIT_FAILED;
  if (WaitForSingleObject(thread, ms) == WAIT_OBJECT_0) GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code;
}

// For states that have no event of their own (a thread parking, a one-shot timer going away).
template <class Condition>
bool Eventually(Condition condition, int ms = 5000) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (Clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace ostest
