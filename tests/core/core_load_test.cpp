// Load and hammer: megabytes through the receive path without loss, and every entry point at once
// from several threads on one device.
#include <random>

#include "tests/core/core_fixture.h"

namespace {

using LoadTest = CoreTest;

uint8_t StreamByte(uint64_t i) {
  uint64_t x = i * 0x9E3779B97F4A7C15ull;
  return static_cast<uint8_t>((x >> 32) ^ (x >> 17) ^ i);
}

// The feeder plays the remote end: it sends only while RTS is high, in random-sized batches, and
// keeps at most one batch in the port's FIFO, like a sender that honours CTS.
TEST_F(LoadTest, EightMebibytesArriveOnceAndInOrder) {
  const uint64_t kTotal = 8ull << 20;
  ASSERT_NE(Init(), nullptr);
  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  DCB dcb = GetDcb(h);
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetDcb(h, dcb));
  SetTimeouts(h, 0, 0, 200);

  std::atomic<bool> feederDone{false};
  std::thread feeder([&] {
    std::mt19937 rng(1234);
    std::vector<uint8_t> batch;
    uint64_t sent = 0;
    while (sent < kTotal) {
      if (!port.Rts() || port.Pending() > 4096) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      size_t n = std::uniform_int_distribution<size_t>(1, 4096)(rng);
      if (n > kTotal - sent) n = static_cast<size_t>(kTotal - sent);
      batch.resize(n);
      for (size_t i = 0; i < n; ++i) batch[i] = StreamByte(sent + i);
      port.Feed(batch.data(), n);
      sent += n;
    }
    feederDone = true;
  });

  std::mt19937 rng(99);
  std::vector<uint8_t> buffer(20000);
  uint64_t received = 0;
  uint64_t mismatches = 0;
  auto start = Clock::now();
  while (received < kTotal && MsSince(start) < 120000) {
    // Now and then the application falls behind, so the buffer fills and flow control works.
    if ((received >> 19) != ((received + 20000) >> 19))
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    DWORD want = std::uniform_int_distribution<DWORD>(1, 20000)(rng);
    DWORD n = ComRead(h, buffer.data(), want);
    ASSERT_NE(n, kFailed);
    for (DWORD i = 0; i < n; ++i)
      if (buffer[i] != StreamByte(received + i)) ++mismatches;
    received += n;
    if (n == 0 && feederDone && port.Pending() == 0 && InQue(h) == 0) break;
  }
  feeder.join();
  EXPECT_EQ(received, kTotal);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_TRUE(ComClose(h));
  EXPECT_EQ(device->rxDiscarded, 0u);
  EXPECT_EQ(device->rxTotal, static_cast<DWORD>(kTotal));
  EXPECT_GT(port.Count(Slot::ClearRts), 0u) << "the load pushed the buffer past three quarters";
  Deinit();  // the fixture checks the heap count after this
}

// Readers, writers, control requests, raises and open/close on one device for a few seconds.
// Every party gets its share only under the host's fair sharing: the line, the control requests
// and the open/close loop are busy threads at the reader's priority, and under the device's
// strict round-robin a reader that blocks rejoins the back of their queue, so what it reads in the
// time is not a promise the device makes.
TEST_F(LoadTest, HammerEveryEntryPointAtOnce) {
  if (sim::DeviceScheduling()) {
    GTEST_SKIP() << "asserts the host's fair sharing among six busy threads at one priority, "
                    "which device scheduling (strict round-robin) does not give";
  }
  ASSERT_NE(Init(), nullptr);
  ComHandle* owner = OpenRW();
  ASSERT_NE(owner, nullptr);
  ComHandle* watcher = ComOpen(device, 0, 0);
  ASSERT_NE(watcher, nullptr);
  SetTimeouts(owner, 0, 0, 5, 0, 20);
  port.txMode = TxMode::Slow;
  port.txPerCall = 64;

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> readBytes{0}, writtenBytes{0}, waits{0}, opens{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // the line
    std::mt19937 rng(1);
    std::string chunk(512, 'h');
    while (!stop) {
      if (port.Pending() < 8192) port.Feed(chunk.data(), rng() % 512 + 1);
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // reader
    char buf[700];
    while (!stop) {
      DWORD n = ComRead(owner, buf, sizeof(buf));
      if (n != kFailed) readBytes += n;
    }
  });
  threads.emplace_back([&] {  // writer
    std::string data(300, 'w');
    while (!stop) {
      DWORD n = ComWrite(owner, data.data(), static_cast<DWORD>(data.size()));
      if (n != kFailed) writtenBytes += n;
    }
  });
  threads.emplace_back([&] {  // control requests on the owner
    std::mt19937 rng(2);
    while (!stop) {
      DCB dcb = GetDcb(owner);
      dcb.fInX = rng() & 1;
      dcb.fOutX = rng() & 1;
      dcb.fDtrControl = rng() % 3;
      dcb.fRtsControl = rng() % 4;
      SetDcb(owner, dcb);
      Status(owner);
      Purge(owner, (rng() & 1) ? PURGE_RXABORT | PURGE_RXCLEAR : PURGE_TXABORT);
      Ioctl(owner, (rng() & 1) ? IOCTL_SERIAL_SET_XOFF : IOCTL_SERIAL_SET_XON);
      Ioctl(owner, IOCTL_SERIAL_SET_DTR);
    }
  });
  threads.emplace_back([&] {  // a waiter whose mask keeps changing
    while (!stop) {
      SetMask(watcher, EV_RXCHAR | EV_TXEMPTY | EV_CTS);
      DWORD mask = 0;
      if (WaitMask(watcher, &mask)) ++waits;
    }
  });
  threads.emplace_back([&] {  // the modem poll
    while (!stop) {
      RaiseCommEvents(device, EV_CTS | EV_DSR);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  threads.emplace_back([&] {  // applications coming and going
    while (!stop) {
      ComHandle* a = ComOpen(device, 0, 0);
      ComHandle* b = ComOpen(device, 0x100, 0);
      if (a != nullptr) {
        SetMask(a, EV_RXCHAR);
        DWORD word = 0, actual = 0;
        Ioctl(a, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &word, 4, &actual);
        EXPECT_TRUE(ComClose(a));
        ++opens;
      }
      if (b != nullptr) {
        Ioctl(b, IOCTL_POWER_GET);
        EXPECT_TRUE(ComClose(b));
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  stop = true;
  // The waiter may sit in a wait whose events stopped: a mask change releases it.
  std::thread releaser([&] {
    for (int i = 0; i < 200; ++i) {
      SetMask(watcher, EV_RXCHAR);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (std::thread& t : threads) t.join();
  releaser.join();
  EXPECT_GT(readBytes.load(), 0u);
  EXPECT_GT(writtenBytes.load(), 0u);
  EXPECT_GT(waits.load(), 0u);
  EXPECT_GT(opens.load(), 0u);
  EXPECT_TRUE(ComClose(watcher));
  EXPECT_TRUE(ComClose(owner));
  EXPECT_EQ(port.Count(Slot::Close), 1u);
  Deinit();
}

}  // namespace

namespace {

using CloseRaceTest = CoreTest;

// The owner comes and goes while the event thread keeps servicing a busy line: the handler's count
// on the owner must never reach a released handle.
TEST_F(CloseRaceTest, OwnerClosedWhileTheEventThreadServicesTheLine) {
  ASSERT_NE(Init(), nullptr);
  ComHandle* keeper = ComOpen(device, 0, 0);  // keeps the port open
  ASSERT_NE(keeper, nullptr);
  std::atomic<bool> stop{false};
  std::thread line([&] {
    std::string chunk(64, 'o');
    while (!stop) {
      port.Feed(chunk);
      if (port.Pending() > 4096) std::this_thread::yield();
    }
  });
  // At least 800 ms of cycles and at least 20 of them, however slow the machine.
  auto start = Clock::now();
  int cycles = 0;
  while (cycles < 20 || MsSince(start) < 800) {
    ComHandle* owner = OpenRW();
    ASSERT_NE(owner, nullptr);
    Purge(owner, PURGE_RXCLEAR);
    EXPECT_TRUE(ComClose(owner));
    ++cycles;
  }
  stop = true;
  line.join();
  EXPECT_TRUE(ComClose(keeper));
  Deinit();
}

// Closing the owner ends a read without time-outs and a wait for events that are blocked on it.
TEST_F(CloseRaceTest, CloseEndsCallsBlockedOnTheHandle) {
  ASSERT_NE(Init(), nullptr);
  ComHandle* keeper = ComOpen(device, 0, 0);
  ASSERT_NE(keeper, nullptr);
  ComHandle* owner = OpenRW();
  ASSERT_NE(owner, nullptr);
  SetTimeouts(owner, 0, 0, 0);
  ASSERT_TRUE(SetMask(owner, EV_CTS));
  port.txMode = TxMode::Hold;
  std::atomic<int> ended{0};
  std::thread reader([&] {
    char b[4];
    EXPECT_EQ(ComRead(owner, b, 4), kFailed);
    ++ended;
  });
  std::thread waiter([&] {
    DWORD mask = 0xFF;
    WaitMask(owner, &mask);
    EXPECT_EQ(mask, 0u);
    ++ended;
  });
  std::thread writer([&] {
    EXPECT_EQ(ComWrite(owner, "abc", 3), 0u);
    ++ended;
  });
  while (__atomic_load_n(&owner->busy, __ATOMIC_ACQUIRE) < 4)  // the wait counts twice
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto start = Clock::now();
  EXPECT_TRUE(ComClose(owner));
  EXPECT_LT(MsSince(start), 5000);
  reader.join();
  waiter.join();
  writer.join();
  EXPECT_EQ(ended.load(), 3);
  EXPECT_EQ(port.Count(Slot::Close), 0u);
  EXPECT_TRUE(ComClose(keeper));
  Deinit();
}

}  // namespace
