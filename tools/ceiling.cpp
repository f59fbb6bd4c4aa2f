#include "tools/ceiling.h"

#include <chrono>
#include <cstring>
#include <memory>

#include "platform/ce_os.h"

namespace tvk {
namespace {

constexpr std::uint32_t kTransfer = 1024;   // one bulk IN transfer
constexpr std::uint32_t kRing = 16384;      // the port's ring
constexpr std::uint32_t kRxBuffer = 65536;  // the port device's receive buffer

// A byte FIFO of fixed capacity, guarded by the owner's critical section.
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

struct Chain {
  std::uint64_t total;
  // Device to receive thread: completion of the outstanding transfer, and its re-submission.
  HANDLE completion, submitted;
  unsigned char transfer[kTransfer];
  std::uint32_t transferBytes = 0;
  // Receive thread to event thread: the ring and the port device's wake event.
  CRITICAL_SECTION ringLock;
  Fifo ring;
  HANDLE wake, ringSpace;
  // Event thread to reader: the receive buffer and its data-available event.
  CRITICAL_SECTION rxLock;
  Fifo rx;
  HANDLE dataAvailable, rxSpace;
  volatile LONG stop = 0;
};

unsigned char PatternByte(std::uint64_t i) {
  return static_cast<unsigned char>((i * 7 + (i >> 10)) & 0xFF);
}

// The modelled device fills a transfer and completes it; the next starts once it is re-submitted.
DWORD WINAPI DeviceProc(LPVOID p) {
  Chain& c = *static_cast<Chain*>(p);
  std::uint64_t sent = 0;
  while (sent < c.total) {
    WaitForSingleObject(c.submitted, INFINITE);
    std::uint32_t n =
        c.total - sent < kTransfer ? static_cast<std::uint32_t>(c.total - sent) : kTransfer;
    for (std::uint32_t i = 0; i < n; ++i) c.transfer[i] = PatternByte(sent + i);
    c.transferBytes = n;
    sent += n;
    SetEvent(c.completion);
  }
  return 0;
}

DWORD WINAPI ReceiveProc(LPVOID p) {
  Chain& c = *static_cast<Chain*>(p);
  std::uint64_t moved = 0;
  unsigned char block[kTransfer];
  SetEvent(c.submitted);
  while (moved < c.total) {
    WaitForSingleObject(c.completion, INFINITE);
    std::uint32_t n = c.transferBytes;
    std::memcpy(block, c.transfer, n);
    moved += n;
    if (moved < c.total) SetEvent(c.submitted);  // one transfer outstanding
    for (;;) {
      EnterCriticalSection(&c.ringLock);
      if (c.ring.Space() >= n) {
        c.ring.Put(block, n);
        LeaveCriticalSection(&c.ringLock);
        break;
      }
      LeaveCriticalSection(&c.ringLock);
      SetEvent(c.wake);
      WaitForSingleObject(c.ringSpace, INFINITE);
    }
    SetEvent(c.wake);
  }
  return 0;
}

DWORD WINAPI EventProc(LPVOID p) {
  Chain& c = *static_cast<Chain*>(p);
  std::uint64_t moved = 0;
  unsigned char chunk[kRing];
  while (moved < c.total) {
    WaitForSingleObject(c.wake, INFINITE);
    for (;;) {
      EnterCriticalSection(&c.rxLock);
      std::uint32_t space = c.rx.Space();
      LeaveCriticalSection(&c.rxLock);
      if (space == 0) {
        WaitForSingleObject(c.rxSpace, INFINITE);
        continue;
      }
      EnterCriticalSection(&c.ringLock);
      std::uint32_t n = c.ring.Get(chunk, space < kRing ? space : kRing);
      LeaveCriticalSection(&c.ringLock);
      if (n == 0) break;
      SetEvent(c.ringSpace);
      EnterCriticalSection(&c.rxLock);
      c.rx.Put(chunk, n);
      LeaveCriticalSection(&c.rxLock);
      moved += n;
      SetEvent(c.dataAvailable);
    }
  }
  return 0;
}

}  // namespace

CeilingResult RunHandOffCeiling(std::uint64_t totalBytes) {
  CeilingResult result;
  auto* c = new Chain{};
  c->total = totalBytes;
  c->completion = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c->submitted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c->ringSpace = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c->dataAvailable = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c->rxSpace = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  InitializeCriticalSection(&c->ringLock);
  InitializeCriticalSection(&c->rxLock);
  std::unique_ptr<unsigned char[]> ringStore(new unsigned char[kRing]);
  std::unique_ptr<unsigned char[]> rxStore(new unsigned char[kRxBuffer]);
  c->ring.data = ringStore.get();
  c->ring.capacity = kRing;
  c->rx.data = rxStore.get();
  c->rx.capacity = kRxBuffer;

  auto start = std::chrono::steady_clock::now();
  HANDLE threads[3] = {CreateThread(nullptr, 0, DeviceProc, c, 0, nullptr),
                       CreateThread(nullptr, 0, ReceiveProc, c, 0, nullptr),
                       CreateThread(nullptr, 0, EventProc, c, 0, nullptr)};

  // The reader: waits for data like a blocked ReadFile and checks every byte.
  std::uint64_t got = 0;
  bool intact = true;
  unsigned char buffer[kRxBuffer];
  while (got < totalBytes) {
    EnterCriticalSection(&c->rxLock);
    std::uint32_t n = c->rx.Get(buffer, sizeof buffer);
    LeaveCriticalSection(&c->rxLock);
    if (n == 0) {
      WaitForSingleObject(c->dataAvailable, INFINITE);
      continue;
    }
    SetEvent(c->rxSpace);
    for (std::uint32_t i = 0; i < n && intact; ++i) intact = buffer[i] == PatternByte(got + i);
    got += n;
  }
  auto end = std::chrono::steady_clock::now();
  for (HANDLE t : threads) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
  result.bytes = got;
  result.seconds = std::chrono::duration<double>(end - start).count();
  result.intact = intact && got == totalBytes;

  DeleteCriticalSection(&c->ringLock);
  DeleteCriticalSection(&c->rxLock);
  for (HANDLE e :
       {c->completion, c->submitted, c->wake, c->ringSpace, c->dataAvailable, c->rxSpace}) {
    CloseHandle(e);
  }
  delete c;
  return result;
}

}  // namespace tvk
