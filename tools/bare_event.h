// An auto-reset event on bare standard primitives (a flag, a mutex and a condition variable): the
// reference the simulated platform's events are measured against.
#pragma once

#include <condition_variable>
#include <mutex>

namespace tvk {

struct BareEvent {
  std::mutex m;
  std::condition_variable cv;
  bool signalled = false;
  void Set() {
    {
      std::lock_guard<std::mutex> guard(m);
      signalled = true;
    }
    cv.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> held(m);
    cv.wait(held, [this] { return signalled; });
    signalled = false;
  }
};

}  // namespace tvk
