#include "tools/ceiling.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"
#include "tools/bare_event.h"

namespace tvk {
namespace {

constexpr std::uint32_t kTransfer = 1024;   // one bulk IN transfer
constexpr std::uint32_t kRing = 16384;      // the port's ring
constexpr std::uint32_t kRxBuffer = 65536;  // the port device's receive buffer

// The platform's primitives: auto-reset events, critical sections, CreateThread.
struct PlatformKit {
  struct Event {
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Event() { CloseHandle(h); }
    void Set() { SetEvent(h); }
    void Wait() { WaitForSingleObject(h, INFINITE); }
  };
  struct Lock {
    CRITICAL_SECTION cs;
    Lock() { InitializeCriticalSection(&cs); }
    ~Lock() { DeleteCriticalSection(&cs); }
    void Enter() { EnterCriticalSection(&cs); }
    void Leave() { LeaveCriticalSection(&cs); }
  };
  template <typename Fn>
  struct Thread {
    Fn fn;
    HANDLE h;
    explicit Thread(Fn f) : fn(std::move(f)), h(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
    static DWORD WINAPI Run(LPVOID p) {
      static_cast<Thread*>(p)->fn();
      return 0;
    }
    void Join() {
      WaitForSingleObject(h, INFINITE);
      CloseHandle(h);
    }
  };
};

// Bare standard primitives: an auto-reset event is a flag, a mutex and a condition variable.
struct StdKit {
  using Event = BareEvent;
  struct Lock {
    std::mutex m;
    void Enter() { m.lock(); }
    void Leave() { m.unlock(); }
  };
  template <typename Fn>
  struct Thread {
    std::thread t;
    explicit Thread(Fn f) : t(std::move(f)) {}
    void Join() { t.join(); }
  };
};

// A byte FIFO of fixed capacity, guarded by the owner's lock.
struct Fifo {
  unsigned char* data;
  std::uint32_t capacity, head = 0, count = 0;
  std::uint32_t Space() const { return capacity - count; }
  void Put(const unsigned char* src, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) data[(head + count + i) % capacity] = src[i];
    count += n;
  }
  std::uint32_t Get(unsigned char* dst, std::uint32_t n) {
    if (n > count) n = count;
    std::uint32_t first = capacity - head < n ? capacity - head : n;
    std::memcpy(dst, data + head, first);
    std::memcpy(dst + first, data, n - first);
    head = (head + n) % capacity;
    count -= n;
    return n;
  }
};

unsigned char PatternByte(std::uint64_t i) {
  return static_cast<unsigned char>((i * 7 + (i >> 10)) & 0xFF);
}

template <typename Kit>
struct Chain {
  explicit Chain(std::uint64_t t) : total(t) {
    ring.data = ringStore.get();
    ring.capacity = kRing;
    rx.data = rxStore.get();
    rx.capacity = kRxBuffer;
  }
  std::uint64_t total;
  // Device to receive thread: completion of the outstanding transfer, and its re-submission.
  typename Kit::Event completion, submitted;
  unsigned char transfer[kTransfer];
  std::uint32_t transferBytes = 0;
  // Receive thread to event thread: the ring and the port device's wake event.
  typename Kit::Lock ringLock;
  std::unique_ptr<unsigned char[]> ringStore{new unsigned char[kRing]};
  Fifo ring;
  typename Kit::Event wake, ringSpace;
  // Event thread to reader: the receive buffer and its data-available event.
  typename Kit::Lock rxLock;
  std::unique_ptr<unsigned char[]> rxStore{new unsigned char[kRxBuffer]};
  Fifo rx;
  typename Kit::Event dataAvailable, rxSpace;

  // The modelled device fills a transfer and completes it; the next starts once re-submitted.
  void Device() {
    std::uint64_t sent = 0;
    while (sent < total) {
      submitted.Wait();
      std::uint32_t n =
          total - sent < kTransfer ? static_cast<std::uint32_t>(total - sent) : kTransfer;
      for (std::uint32_t i = 0; i < n; ++i) transfer[i] = PatternByte(sent + i);
      transferBytes = n;
      sent += n;
      completion.Set();
    }
  }

  void Receive() {
    std::uint64_t moved = 0;
    unsigned char block[kTransfer];
    submitted.Set();
    while (moved < total) {
      completion.Wait();
      std::uint32_t n = transferBytes;
      std::memcpy(block, transfer, n);
      moved += n;
      if (moved < total) submitted.Set();  // one transfer outstanding
      for (;;) {
        ringLock.Enter();
        if (ring.Space() >= n) {
          ring.Put(block, n);
          ringLock.Leave();
          break;
        }
        ringLock.Leave();
        wake.Set();
        ringSpace.Wait();
      }
      wake.Set();
    }
  }

  void Event() {
    std::uint64_t moved = 0;
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kRing]);
    while (moved < total) {
      wake.Wait();
      for (;;) {
        rxLock.Enter();
        std::uint32_t space = rx.Space();
        rxLock.Leave();
        if (space == 0) {
          rxSpace.Wait();
          continue;
        }
        ringLock.Enter();
        std::uint32_t n = ring.Get(chunk.get(), space < kRing ? space : kRing);
        ringLock.Leave();
        if (n == 0) break;
        ringSpace.Set();
        rxLock.Enter();
        rx.Put(chunk.get(), n);
        rxLock.Leave();
        moved += n;
        dataAvailable.Set();
      }
    }
  }

  // The reader: waits for data like a blocked ReadFile and checks every byte.
  CeilingResult Run() {
    CeilingResult result;
    auto start = std::chrono::steady_clock::now();
    auto device = [this] { Device(); };
    auto receive = [this] { Receive(); };
    auto event = [this] { Event(); };
    typename Kit::template Thread<decltype(device)> t1(device);
    typename Kit::template Thread<decltype(receive)> t2(receive);
    typename Kit::template Thread<decltype(event)> t3(event);
    std::uint64_t got = 0;
    bool intact = true;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kRxBuffer]);
    while (got < total) {
      rxLock.Enter();
      std::uint32_t n = rx.Get(buffer.get(), kRxBuffer);
      rxLock.Leave();
      if (n == 0) {
        dataAvailable.Wait();
        continue;
      }
      rxSpace.Set();
      for (std::uint32_t i = 0; i < n && intact; ++i) intact = buffer[i] == PatternByte(got + i);
      got += n;
    }
    auto end = std::chrono::steady_clock::now();
    t1.Join();
    t2.Join();
    t3.Join();
    result.bytes = got;
    result.seconds = std::chrono::duration<double>(end - start).count();
    result.intact = intact && got == total;
    return result;
  }
};

template <typename Kit>
CeilingResult RunChain(std::uint64_t totalBytes) {
  auto chain = std::make_unique<Chain<Kit>>(totalBytes);
  return chain->Run();
}

}  // namespace

CeilingResult RunHandOffCeiling(std::uint64_t totalBytes) {
  return RunChain<PlatformKit>(totalBytes);
}

CeilingResult RunBareHandOffCeiling(std::uint64_t totalBytes) {
  return RunChain<StdKit>(totalBytes);
}

}  // namespace tvk
