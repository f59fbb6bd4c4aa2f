// The receive FIFO of a port: fixed-size elements, one spare slot, never overwrites.
#include "usb/byte_ring.h"

#include <string.h>

namespace {

// Byte offset of a slot; slot < slotCount, and slotCount * elementSize fits 32 bits (RingInit).
inline BYTE* SlotAddress(const ByteRing* ring, DWORD slot) {
  return ring->storage + static_cast<SIZE_T>(slot) * ring->elementSize;
}

inline SIZE_T Bytes(const ByteRing* ring, DWORD count) {
  return static_cast<SIZE_T>(count) * ring->elementSize;
}

inline DWORD Smaller(DWORD a, DWORD b) {
  return a < b ? a : b;
}

}  // namespace

ByteRing* RingInit(ByteRing* ring, DWORD elementSize, DWORD capacity, UINT allocFlags) {
  if (ring == NULL) return NULL;
  ring->readIndex = 0;
  ring->writeIndex = 0;
  ring->elementSize = elementSize;
  ring->storage = NULL;
  ring->valid = 1;

  // A capacity whose slot count or byte size does not fit 32 bits leaves the ring without storage,
  // exactly as a failed allocation does; slotCount 0 keeps the index arithmetic out of reach.
  if (capacity == MAXDWORD) {
    ring->slotCount = 0;
    return ring;
  }
  ring->slotCount = capacity + 1;
  // slotCount * elementSize must fit 32 bits; tested by division, so that the product never wraps.
  if (elementSize != 0 && ring->slotCount > MAXDWORD / elementSize) {
    ring->slotCount = 0;
    return ring;
  }
  const DWORD size = ring->slotCount * elementSize;
  if (size == 0) return ring;

  ring->storage = static_cast<BYTE*>(LocalAlloc(allocFlags, size));
  if (ring->storage != NULL) memset(ring->storage, 0, size);
  return ring;
}

DWORD RingPut(ByteRing* ring, const void* source, DWORD count) {
  if (ring == NULL || ring->storage == NULL || source == NULL || count == 0) return 0;
  const BYTE* from = static_cast<const BYTE*>(source);

  DWORD first;
  DWORD second = 0;
  if (ring->readIndex > ring->writeIndex) {
    first = ring->readIndex - ring->writeIndex - 1;
  } else if (ring->readIndex == 0) {
    // The last slot stays free so that writeIndex never lands on readIndex.
    first = ring->slotCount - ring->writeIndex - 1;
  } else {
    first = ring->slotCount - ring->writeIndex;
    second = ring->readIndex - 1;
  }

  const DWORD total = Smaller(first + second, count);
  const DWORD head = Smaller(first, total);
  if (head != 0) {
    memmove(SlotAddress(ring, ring->writeIndex), from, Bytes(ring, head));
    ring->writeIndex += head;
  }
  const DWORD tail = Smaller(total - head, second);
  if (tail != 0) {
    memmove(ring->storage, from + Bytes(ring, head), Bytes(ring, tail));
    ring->writeIndex = tail;
  }
  if (ring->writeIndex == ring->slotCount) ring->writeIndex = 0;
  return total;
}

DWORD RingGet(ByteRing* ring, void* destination, DWORD count) {
  if (ring == NULL || ring->storage == NULL || destination == NULL || count == 0) return 0;
  if (ring->readIndex == ring->writeIndex) return 0;
  BYTE* to = static_cast<BYTE*>(destination);

  DWORD first;
  DWORD second = 0;
  if (ring->readIndex < ring->writeIndex) {
    first = ring->writeIndex - ring->readIndex;
  } else {
    first = ring->slotCount - ring->readIndex;
    second = ring->writeIndex;
  }

  const DWORD total = Smaller(first + second, count);
  const DWORD head = Smaller(first, total);
  if (head != 0) {
    memmove(to, SlotAddress(ring, ring->readIndex), Bytes(ring, head));
    ring->readIndex += head;
  }
  const DWORD tail = Smaller(total - head, second);
  if (tail != 0) {
    memmove(to + Bytes(ring, head), ring->storage, Bytes(ring, tail));
    ring->readIndex = tail;
  }
  if (ring->readIndex == ring->slotCount) ring->readIndex = 0;
  return total;
}

DWORD RingCount(const ByteRing* ring) {
  if (ring == NULL || ring->storage == NULL) return 0;
  if (ring->readIndex == ring->writeIndex) return 0;
  if (ring->readIndex < ring->writeIndex) return ring->writeIndex - ring->readIndex;
  return ring->writeIndex - ring->readIndex + ring->slotCount;
}

void RingReset(ByteRing* ring) {
  if (ring == NULL) return;
  ring->readIndex = 0;
  ring->writeIndex = 0;
}

void RingFree(ByteRing* ring) {
  if (ring == NULL) return;
  if (ring->valid) {
    ring->valid = 0;
    if (ring->storage != NULL) {
      // The block may be larger than asked for; poison all of it.
      memset(ring->storage, 0xCC, LocalSize(ring->storage));
      LocalFree(ring->storage);
    }
  }
  ring->storage = NULL;
}
