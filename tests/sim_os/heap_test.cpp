// The local heap (zero-fill, sizes, accounting, refused frees, injected allocation failures) and
// the pointer checks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "os_test_util.h"
#include "platform/ce_os.h"
#include "sim/os/sim_os.h"

namespace {

using namespace ostest;

class Heap : public testing::Test {
 protected:
  void SetUp() override {
    blocksAtStart_ = sim::HeapLiveBlocks();
    bytesAtStart_ = sim::HeapLiveBytes();
  }
  void TearDown() override {
    sim::HeapFailAllocation(0);
    EXPECT_EQ(sim::HeapLiveBlocks(), blocksAtStart_);
    EXPECT_EQ(sim::HeapLiveBytes(), bytesAtStart_);
  }
  size_t blocksAtStart_ = 0;
  size_t bytesAtStart_ = 0;
};

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

TEST_F(Heap, ZeroInitBlocksAreZeroAndSizedAsAsked) {
  for (SIZE_T size : {SIZE_T{1}, SIZE_T{3}, SIZE_T{100}, SIZE_T{4096}, SIZE_T{65536}}) {
    // Dirty a block first, so that a reused one would show up unless it is zeroed again.
    HLOCAL dirty = LocalAlloc(LMEM_FIXED, size);
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0xCC, size);
    EXPECT_EQ(LocalFree(dirty), nullptr);

    HLOCAL block = LocalAlloc(LPTR, size);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(AllZero(block, size)) << size;
    EXPECT_EQ(LocalSize(block), size);
    EXPECT_EQ(sim::HeapLiveBlocks(), blocksAtStart_ + 1);
    EXPECT_EQ(sim::HeapLiveBytes(), bytesAtStart_ + size);
    std::memset(block, 0xCC, size);
    EXPECT_EQ(LocalFree(block), nullptr);
  }
}

TEST_F(Heap, AccountingFollowsEveryAllocAndFree) {
  std::vector<HLOCAL> blocks;
  size_t bytes = 0;
  for (SIZE_T size = 8; size <= 512; size *= 2) {
    blocks.push_back(LocalAlloc(size % 16 == 0 ? LPTR : LMEM_FIXED, size));
    ASSERT_NE(blocks.back(), nullptr);
    bytes += size;
    EXPECT_EQ(sim::HeapLiveBlocks(), blocksAtStart_ + blocks.size());
    EXPECT_EQ(sim::HeapLiveBytes(), bytesAtStart_ + bytes);
  }
  while (!blocks.empty()) {
    bytes -= LocalSize(blocks.back());
    EXPECT_EQ(LocalFree(blocks.back()), nullptr);
    blocks.pop_back();
    EXPECT_EQ(sim::HeapLiveBytes(), bytesAtStart_ + bytes);
  }
  EXPECT_EQ(bytes, 0u);
}

TEST_F(Heap, ForeignAndFreedBlocksAreRefused) {
  int onStack = 0;
  SetLastError(0);
  EXPECT_EQ(LocalFree(&onStack), &onStack);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(LocalSize(&onStack), 0u);

  HLOCAL block = LocalAlloc(LPTR, 32);
  ASSERT_NE(block, nullptr);
  HLOCAL inside = static_cast<char*>(block) + 8;
  EXPECT_EQ(LocalFree(inside), inside);
  EXPECT_EQ(sim::HeapLiveBlocks(), blocksAtStart_ + 1);
  EXPECT_EQ(LocalFree(block), nullptr);
  SetLastError(0);
  EXPECT_EQ(LocalFree(block), block);  // a second free is refused, not passed on
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(LocalSize(block), 0u);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST_F(Heap, UnknownFlagsAreRefused) {
  SetLastError(0);
  EXPECT_EQ(LocalAlloc(0x0002u, 16), nullptr);
  EXPECT_EQ(GetLastError(), kInvalidParameter);
}

TEST_F(Heap, FailAllocationFailsExactlyTheNthOne) {
  for (unsigned n : {1u, 2u, 4u}) {
    SCOPED_TRACE(n);
    sim::HeapFailAllocation(n);
    std::vector<HLOCAL> ok;
    for (unsigned i = 1; i < n; ++i) {
      ok.push_back(LocalAlloc(LPTR, 16));
      EXPECT_NE(ok.back(), nullptr) << "allocation " << i;
    }
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LPTR, 16), nullptr);
    EXPECT_EQ(GetLastError(), kNotEnoughMemory);
    EXPECT_EQ(sim::HeapLiveBlocks(), blocksAtStart_ + ok.size());
    for (int later = 0; later < 3; ++later) {
      ok.push_back(LocalAlloc(LPTR, 16));
      EXPECT_NE(ok.back(), nullptr) << "after the failure";
    }
    for (HLOCAL b : ok) LocalFree(b);
  }
}

TEST_F(Heap, FailAllocationZeroCancels) {
  sim::HeapFailAllocation(2);
  sim::HeapFailAllocation(0);
  std::vector<HLOCAL> ok;
  for (int i = 0; i < 4; ++i) {
    ok.push_back(LocalAlloc(LMEM_FIXED, 8));
    EXPECT_NE(ok.back(), nullptr);
  }
  for (HLOCAL b : ok) LocalFree(b);
}

TEST_F(Heap, AllocationsFromManyThreadsAreAllAccounted) {
  constexpr int kThreads = 4;
  constexpr int kBlocks = 200;
  std::vector<HANDLE> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(Start([] {
      std::vector<HLOCAL> mine;
      for (int i = 0; i < kBlocks; ++i) mine.push_back(LocalAlloc(LPTR, 24));
      for (HLOCAL b : mine) {
        if (b == nullptr || LocalFree(b) != nullptr) return 1u;
      }
      return 0u;
    }));
  }
  for (HANDLE h : threads) EXPECT_EQ(Join(h), 0u);
}

class PointerChecks : public testing::Test {
 protected:
  void TearDown() override { sim::ClearBadPointerRanges(); }
};

TEST_F(PointerChecks, OrdinaryMemoryIsGood) {
  char buffer[64] = {};
  EXPECT_FALSE(IsBadReadPtr(buffer, sizeof buffer));
  EXPECT_FALSE(IsBadWritePtr(buffer, sizeof buffer));
}

TEST_F(PointerChecks, NullAndWrappingRangesAreBad) {
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
  EXPECT_TRUE(IsBadWritePtr(nullptr, 4));
  void* nearTop = reinterpret_cast<void*>(UINTPTR_MAX - 3);
  EXPECT_TRUE(IsBadReadPtr(nearTop, 8));
  EXPECT_TRUE(IsBadWritePtr(nearTop, 8));
}

TEST_F(PointerChecks, DeclaredRangeMakesEveryOverlapBad) {
  char buffer[64] = {};
  sim::SetBadPointerRange(buffer + 16, 8);  // bytes 16..23
  EXPECT_FALSE(IsBadReadPtr(buffer, 16));
  EXPECT_FALSE(IsBadWritePtr(buffer + 24, 40));
  EXPECT_TRUE(IsBadReadPtr(buffer, 17));
  EXPECT_TRUE(IsBadWritePtr(buffer + 23, 1));
  EXPECT_TRUE(IsBadReadPtr(buffer + 18, 2));  // inside
  EXPECT_TRUE(IsBadWritePtr(buffer, 64));     // around
  sim::SetBadPointerRange(buffer + 40, 1);
  EXPECT_TRUE(IsBadReadPtr(buffer + 40, 1));
  EXPECT_TRUE(IsBadReadPtr(buffer + 20, 1));
  sim::ClearBadPointerRanges();
  EXPECT_FALSE(IsBadReadPtr(buffer, 64));
  EXPECT_FALSE(IsBadWritePtr(buffer, 64));
}

}  // namespace
