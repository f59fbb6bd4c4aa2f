// Micro figures of the receive path's building blocks: the byte ring, and an event hand-off
// between two threads on the simulated OS services beside the same hand-off on a bare mutex and
// condition variable (what the host itself costs).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
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

}  // namespace

BENCHMARK_MAIN();
