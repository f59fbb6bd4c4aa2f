// ByteRing: a ring of fixed-size elements with one spare slot, so that full and empty never look
// alike. Storing never overwrites: what does not fit is refused and the caller learns how much was
// taken. No lock of its own: the owner serialises every use (for a port, its ringLock).
#pragma once

#include "platform/ce_os.h"

struct ByteRing {
  BYTE valid;  // 1 once RingInit has run, 0 after RingFree
  DWORD elementSize;
  DWORD readIndex;   // slot of the oldest stored element
  DWORD writeIndex;  // slot the next stored element goes to
  DWORD slotCount;   // capacity + 1
  BYTE* storage;     // slotCount * elementSize bytes from the local heap, or null
};

// Counts are element counts. A capacity whose slot count or byte size would overflow 32 bits is
// refused like a failed allocation (storage stays null).
ByteRing* RingInit(ByteRing* ring, DWORD elementSize, DWORD capacity, UINT allocFlags);
DWORD RingPut(ByteRing* ring, const void* source, DWORD count);
DWORD RingGet(ByteRing* ring, void* destination, DWORD count);
DWORD RingCount(const ByteRing* ring);
void RingReset(ByteRing* ring);
void RingFree(ByteRing* ring);
