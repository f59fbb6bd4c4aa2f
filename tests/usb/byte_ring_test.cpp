// The ring against a reference FIFO, and the edge cases of its index arithmetic.
#include "usb/byte_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "sim/os/sim_os.h"

namespace {

struct RingHolder {
  ByteRing ring{};
  RingHolder(DWORD elementSize, DWORD capacity, UINT flags = 0) {
    RingInit(&ring, elementSize, capacity, flags);
  }
  ~RingHolder() { RingFree(&ring); }
};

std::vector<BYTE> Sequence(size_t n, BYTE start = 0) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(start + i);
  return v;
}

// ---- Reference model ----------------------------------------------------------------------------

struct ModelCase {
  DWORD elementSize;
  DWORD capacity;
};

class RingModel : public ::testing::TestWithParam<ModelCase> {};

// The model holds the stored elements' bytes in order; counts are its size / elementSize.
TEST_P(RingModel, AgreesWithReferenceFifoOverRandomSequences) {
  const auto [elementSize, capacity] = GetParam();
  RingHolder h(elementSize, capacity);
  ASSERT_NE(h.ring.storage, nullptr);
  std::deque<BYTE> model;
  std::mt19937 rng(capacity * 131u + elementSize);
  BYTE nextByte = 1;
  std::vector<BYTE> src;
  std::vector<BYTE> dst;
  const int steps = capacity > 1024 ? 3000 : 20000;

  for (int step = 0; step < steps; ++step) {
    const DWORD stored = static_cast<DWORD>(model.size() / elementSize);
    const int op = static_cast<int>(rng() % 100);
    // Request sizes reach beyond the capacity so that refusals are exercised.
    const DWORD n = static_cast<DWORD>(rng() % (capacity + capacity / 2 + 3));
    if (op < 45) {
      src.resize(static_cast<size_t>(n) * elementSize);
      for (auto& b : src) b = nextByte++;
      const DWORD expected = std::min<DWORD>(n, capacity - stored);
      ASSERT_EQ(RingPut(&h.ring, src.data(), n), expected) << "step " << step;
      model.insert(model.end(), src.begin(), src.begin() + expected * elementSize);
    } else if (op < 90) {
      dst.assign(static_cast<size_t>(n) * elementSize + 1, 0xEE);
      const DWORD expected = std::min<DWORD>(n, stored);
      ASSERT_EQ(RingGet(&h.ring, dst.data(), n), expected) << "step " << step;
      const size_t len = static_cast<size_t>(expected) * elementSize;
      ASSERT_TRUE(std::equal(dst.begin(), dst.begin() + len, model.begin())) << "step " << step;
      model.erase(model.begin(), model.begin() + len);
      // Nothing written past what was taken.
      ASSERT_EQ(dst[len], 0xEE);
    } else if (op < 98) {
      ASSERT_EQ(RingCount(&h.ring), stored);
    } else {
      RingReset(&h.ring);
      model.clear();
      ASSERT_EQ(h.ring.readIndex, 0u);
      ASSERT_EQ(h.ring.writeIndex, 0u);
    }
    ASSERT_EQ(RingCount(&h.ring), model.size() / elementSize) << "step " << step;
    ASSERT_LT(h.ring.readIndex, h.ring.slotCount);
    ASSERT_LT(h.ring.writeIndex, h.ring.slotCount);
  }
}

INSTANTIATE_TEST_SUITE_P(Capacities, RingModel,
                         ::testing::Values(ModelCase{1, 1}, ModelCase{1, 4}, ModelCase{1, 17},
                                           ModelCase{1, 1024}, ModelCase{3, 7}, ModelCase{4, 64},
                                           ModelCase{12, 33}, ModelCase{1, 16384}),
                         [](const auto& info) {
                           return "e" + std::to_string(info.param.elementSize) + "c" +
                                  std::to_string(info.param.capacity);
                         });

// ---- Edge cases ---------------------------------------------------------------------------------

TEST(ByteRing, CapacityFourWalkThrough) {
  RingHolder h(1, 4);
  EXPECT_EQ(h.ring.slotCount, 5u);
  const auto a = Sequence(4, 10);  // 10 11 12 13
  EXPECT_EQ(RingPut(&h.ring, a.data(), 4), 4u);
  BYTE out[10] = {};
  EXPECT_EQ(RingGet(&h.ring, out, 3), 3u);
  EXPECT_EQ(out[0], 10);
  EXPECT_EQ(out[2], 12);
  EXPECT_EQ(h.ring.readIndex, 3u);
  EXPECT_EQ(h.ring.writeIndex, 4u);

  const auto b = Sequence(3, 20);  // 20 21 22: slot 4, then slots 0 and 1
  EXPECT_EQ(RingPut(&h.ring, b.data(), 3), 3u);
  EXPECT_EQ(h.ring.writeIndex, 2u);
  EXPECT_EQ(RingCount(&h.ring), 4u);
  EXPECT_EQ(h.ring.storage[4], 20);
  EXPECT_EQ(h.ring.storage[0], 21);
  EXPECT_EQ(h.ring.storage[1], 22);

  EXPECT_EQ(RingGet(&h.ring, out, 10), 4u);
  const BYTE expected[] = {13, 20, 21, 22};
  EXPECT_EQ(0, std::memcmp(out, expected, 4));
  EXPECT_EQ(h.ring.readIndex, 2u);
  EXPECT_EQ(h.ring.writeIndex, 2u);
  EXPECT_EQ(RingCount(&h.ring), 0u);
}

TEST(ByteRing, PortRingRefusesBeyondCapacityAndKeepsContents) {
  RingHolder h(1, 0x4000);
  ASSERT_NE(h.ring.storage, nullptr);
  EXPECT_EQ(LocalSize(h.ring.storage), 16385u);
  EXPECT_EQ(RingCount(&h.ring), 0u);
  const auto data = Sequence(20000, 7);
  EXPECT_EQ(RingPut(&h.ring, data.data(), 20000), 16384u);
  EXPECT_EQ(RingCount(&h.ring), 16384u);
  // From indices 0 the last slot stays free: writeIndex stops at slotCount - 1.
  EXPECT_EQ(h.ring.writeIndex, 16384u);
  EXPECT_EQ(h.ring.readIndex, 0u);

  const auto more = Sequence(10, 200);
  EXPECT_EQ(RingPut(&h.ring, more.data(), 10), 0u);
  std::vector<BYTE> out(20000);
  EXPECT_EQ(RingGet(&h.ring, out.data(), 20000), 16384u);
  EXPECT_EQ(0, std::memcmp(out.data(), data.data(), 16384));
}

TEST(ByteRing, EmptyGetChangesNothing) {
  RingHolder h(1, 8);
  const auto a = Sequence(5);
  RingPut(&h.ring, a.data(), 5);
  BYTE out[8];
  RingGet(&h.ring, out, 5);
  const DWORD r = h.ring.readIndex, w = h.ring.writeIndex;
  std::memset(out, 0x5A, sizeof out);
  EXPECT_EQ(RingGet(&h.ring, out, 8), 0u);
  EXPECT_EQ(h.ring.readIndex, r);
  EXPECT_EQ(h.ring.writeIndex, w);
  EXPECT_EQ(out[0], 0x5A);
}

TEST(ByteRing, ResetEmptiesAndRestartsAtSlotZero) {
  RingHolder h(1, 8);
  const auto a = Sequence(6, 1);
  RingPut(&h.ring, a.data(), 6);
  BYTE out[8];
  RingGet(&h.ring, out, 2);
  RingReset(&h.ring);
  EXPECT_EQ(RingCount(&h.ring), 0u);
  EXPECT_EQ(RingGet(&h.ring, out, 8), 0u);
  const auto b = Sequence(3, 100);
  EXPECT_EQ(RingPut(&h.ring, b.data(), 3), 3u);
  EXPECT_EQ(h.ring.storage[0], 100);
  EXPECT_EQ(h.ring.writeIndex, 3u);
}

TEST(ByteRing, InitZeroFillsStorageEvenWithoutZeroInitFlag) {
  RingHolder h(2, 100, 0);
  ASSERT_NE(h.ring.storage, nullptr);
  EXPECT_EQ(h.ring.valid, 1);
  EXPECT_EQ(h.ring.elementSize, 2u);
  EXPECT_EQ(h.ring.slotCount, 101u);
  for (DWORD i = 0; i < 202; ++i) ASSERT_EQ(h.ring.storage[i], 0) << i;
}

TEST(ByteRing, FreeTwiceIsHarmless) {
  ByteRing ring{};
  RingInit(&ring, 1, 16, 0);
  ASSERT_NE(ring.storage, nullptr);
  const auto a = Sequence(5);
  RingPut(&ring, a.data(), 5);
  RingFree(&ring);
  EXPECT_EQ(ring.valid, 0);
  EXPECT_EQ(ring.storage, nullptr);
  // Indices are left as they were.
  EXPECT_EQ(ring.writeIndex, 5u);
  RingFree(&ring);
  EXPECT_EQ(ring.valid, 0);
  EXPECT_EQ(ring.storage, nullptr);
  BYTE out[4];
  EXPECT_EQ(RingPut(&ring, a.data(), 5), 0u);
  EXPECT_EQ(RingGet(&ring, out, 4), 0u);
  EXPECT_EQ(RingCount(&ring), 0u);
}

TEST(ByteRing, ZeroSizedRingHasNoStorageAndStoresNothing) {
  RingHolder h(0, 100);
  EXPECT_EQ(h.ring.valid, 1);
  EXPECT_EQ(h.ring.storage, nullptr);
  const BYTE b = 1;
  EXPECT_EQ(RingPut(&h.ring, &b, 1), 0u);
}

// A capacity whose slot count or byte size overflows 32 bits is refused like a failed allocation,
// rather than allocating a wrapped-around small block that later puts would overrun.
TEST(ByteRing, OverflowingCapacitiesAreRefused) {
  struct {
    DWORD elementSize, capacity;
  } cases[] = {
      {1, 0xFFFFFFFFu}, {2, 0x80000000u}, {4, 0x40000000u}, {0x10000, 0x10000}, {3, 0x55555555u}};
  for (const auto& c : cases) {
    ByteRing ring{};
    RingInit(&ring, c.elementSize, c.capacity, 0);
    EXPECT_EQ(ring.storage, nullptr) << c.elementSize << "x" << c.capacity;
    EXPECT_EQ(ring.valid, 1);
    std::vector<BYTE> src(64, 1);
    EXPECT_EQ(RingPut(&ring, src.data(), 1), 0u);
    EXPECT_EQ(RingGet(&ring, src.data(), 1), 0u);
    EXPECT_EQ(RingCount(&ring), 0u);
    RingFree(&ring);
  }
}

TEST(ByteRing, NullArgumentsStoreAndTakeNothing) {
  RingHolder h(1, 8);
  BYTE buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(RingPut(&h.ring, nullptr, 4), 0u);
  EXPECT_EQ(RingCount(&h.ring), 0u);
  RingPut(&h.ring, buf, 4);
  EXPECT_EQ(RingGet(&h.ring, nullptr, 4), 0u);
  EXPECT_EQ(RingCount(&h.ring), 4u);
  EXPECT_EQ(RingInit(nullptr, 1, 4, 0), nullptr);
  EXPECT_EQ(RingCount(nullptr), 0u);
}

TEST(ByteRing, FailedAllocationLeavesARingThatStoresNothing) {
  const size_t before = sim::HeapLiveBlocks();
  sim::HeapFailAllocation(1);
  ByteRing ring{};
  EXPECT_EQ(RingInit(&ring, 1, 0x4000, 0), &ring);
  EXPECT_EQ(ring.storage, nullptr);
  EXPECT_EQ(ring.valid, 1);
  EXPECT_EQ(sim::HeapLiveBlocks(), before);
  const auto a = Sequence(10);
  BYTE out[10];
  EXPECT_EQ(RingPut(&ring, a.data(), 10), 0u);
  EXPECT_EQ(RingGet(&ring, out, 10), 0u);
  EXPECT_EQ(RingCount(&ring), 0u);
  RingFree(&ring);
  EXPECT_EQ(ring.valid, 0);
}

TEST(ByteRing, FreeReleasesTheStorageBlock) {
  const size_t before = sim::HeapLiveBlocks();
  {
    RingHolder h(1, 0x4000);
    EXPECT_EQ(sim::HeapLiveBlocks(), before + 1);
  }
  EXPECT_EQ(sim::HeapLiveBlocks(), before);
}

}  // namespace
