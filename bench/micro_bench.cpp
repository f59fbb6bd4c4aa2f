// Micro figures of the receive path's building blocks: the byte ring, and event and critical
// section hand-offs between two threads on the simulated OS services beside the same hand-offs on
// a bare mutex and condition variable (what the host itself costs).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"
#include "tools/bare_event.h"
#include "usb/byte_ring.h"

namespace {

// One bulk IN transfer's worth stored and taken again, as the receive thread and Receive do.
void BM_RingPutGet(benchmark::State& state) {
  const DWORD chunk = static_cast<DWORD>(state.range(0));
  ByteRing ring{};
  if (RingInit(&ring, 1, 16384, LPTR) == nullptr) {
    state.SkipWithError("RingInit failed");
    return;
  }
  unsigned char in[16384], out[16384];
  std::memset(in, 0x5A, sizeof in);
  for (auto _ : state) {
    DWORD put = RingPut(&ring, in, chunk);
    DWORD got = RingGet(&ring, out, chunk);
    benchmark::DoNotOptimize(got);
    if (put != chunk || got != chunk) state.SkipWithError("ring lost bytes");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
  RingFree(&ring);
}
BENCHMARK(BM_RingPutGet)->Arg(1)->Arg(64)->Arg(1024)->Arg(16383);

// Ping-pong between two threads through two auto-reset events: one iteration is two hand-offs.
void BM_EventHandOff(benchmark::State& state) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  volatile LONG stop = 0;
  std::thread partner([&] {
    for (;;) {
      WaitForSingleObject(ping, INFINITE);
      if (__atomic_load_n(&stop, __ATOMIC_ACQUIRE)) break;
      SetEvent(pong);
    }
  });
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
  SetEvent(ping);
  partner.join();
  CloseHandle(ping);
  CloseHandle(pong);
}
BENCHMARK(BM_EventHandOff)->UseRealTime();

// The same ping-pong on bare standard primitives (tools/bare_event.h).
void BM_BareCvHandOff(benchmark::State& state) {
  tvk::BareEvent ping, pong;
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      ping.Wait();
      if (stop.load(std::memory_order_acquire)) break;
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait();
  }
  stop.store(true, std::memory_order_release);
  ping.Set();
  partner.join();
}
BENCHMARK(BM_BareCvHandOff)->UseRealTime();

struct SimSection {
  CRITICAL_SECTION cs;
  SimSection() { InitializeCriticalSection(&cs); }
  ~SimSection() { DeleteCriticalSection(&cs); }
  void lock() { EnterCriticalSection(&cs); }
  void unlock() { LeaveCriticalSection(&cs); }
};

// Two threads pass three locks round: each holds one, takes the next (held by the other, which
// lets it go once it has taken its own next one) and lets its own go. No thread ever waits for
// two, so the ring cannot lock up, and every take is one the other thread's leave hands on: one
// iteration is two hand-offs, as in the event ping-pong.
template <typename Lock>
void LockRing(benchmark::State& state) {
  Lock locks[3];
  std::atomic<bool> stop{false};
  std::promise<void> partnerHolds;
  auto step = [&locks](int& held) {
    int next = (held + 1) % 3;
    locks[next].lock();
    locks[held].unlock();
    held = next;
  };
  int mine = 0;
  locks[mine].lock();
  std::thread partner([&] {
    int held = 1;
    locks[held].lock();
    partnerHolds.set_value();
    while (!stop.load(std::memory_order_acquire)) step(held);
    locks[held].unlock();
  });
  partnerHolds.get_future().wait();
  for (auto _ : state) step(mine);
  stop.store(true, std::memory_order_release);
  locks[mine].unlock();
  partner.join();
}

void BM_SectionHandOff(benchmark::State& state) {
  LockRing<SimSection>(state);
}
BENCHMARK(BM_SectionHandOff)->UseRealTime();

void BM_BareMutexHandOff(benchmark::State& state) {
  LockRing<std::mutex>(state);
}
BENCHMARK(BM_BareMutexHandOff)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
