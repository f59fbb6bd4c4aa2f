// Micro figures of the receive path's building blocks: the byte ring and an event hand-off
// between two threads on the simulated OS services.
#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>

#include "platform/ce_os.h"
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

}  // namespace

BENCHMARK_MAIN();
