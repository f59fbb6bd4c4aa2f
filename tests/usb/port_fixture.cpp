#include "tests/usb/port_fixture.h"

#include <cstring>

namespace usbtest {

namespace {

void Release(void* block) {
  if (block == nullptr) return;
  std::memset(block, 0xCC, LocalSize(block));
  LocalFree(block);
}

void CloseIf(HANDLE* h) {
  if (*h != nullptr) CloseHandle(*h);
  *h = nullptr;
}

}  // namespace

void PortFixture::Build(LPCUSB_FUNCS usb, USB_HANDLE hostDevice) {
  device = static_cast<BridgeDevice*>(LocalAlloc(LPTR, sizeof(BridgeDevice)));
  port = static_cast<BridgePort*>(LocalAlloc(LPTR, sizeof(BridgePort)));
  com = static_cast<ComDevice*>(LocalAlloc(LPTR, sizeof(ComDevice)));
  if (device == nullptr || port == nullptr || com == nullptr) return;
  device->signature = BridgeSignature;
  InitializeCriticalSection(&device->lock);
  device->hostDevice = hostDevice;
  device->usb = usb;
  device->portCount = 1;
  device->ports[0] = port;
  device->attachDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  port->signature = BridgeSignature;
  port->device = device;
  InitializeCriticalSection(&port->ringLock);
  InitializeCriticalSection(&port->eventLock);
  port->inDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  port->outDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  port->closedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  port->roomEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  port->ring = static_cast<ByteRing*>(LocalAlloc(LPTR, sizeof(ByteRing)));
  if (port->ring != nullptr) RingInit(port->ring, 1, 0x4000, 0);

  com->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  BindComDevice(port, com);
}

PortFixture::PortFixture(LPCUSB_FUNCS usb, USB_HANDLE hostDevice, USB_PIPE inPipe,
                         USB_PIPE outPipe) {
  Build(usb, hostDevice);
  if (port != nullptr) {
    port->inPipe = inPipe;
    port->outPipe = outPipe;
  }
}

bool PortFixture::Ready() const {
  return device != nullptr && port != nullptr && com != nullptr && device->attachDone &&
         port->inDone && port->outDone && port->closedEvent && port->roomEvent && port->ring &&
         port->ring->storage && com->wakeEvent && port->inPipe && port->outPipe;
}

bool PortFixture::StartThread() {
  port->receiveThread = CreateThread(nullptr, 0, ReceiveThreadProc, port, 0, nullptr);
  return port->receiveThread != nullptr;
}

void PortFixture::Detach() {
  __atomic_or_fetch(&port->state, static_cast<BYTE>(PortDetached), __ATOMIC_SEQ_CST);
  SetEvent(port->inDone);
}

bool PortFixture::WaitThreadEnd(DWORD timeoutMs) {
  return port->receiveThread == nullptr ||
         WaitForSingleObject(port->receiveThread, timeoutMs) == WAIT_OBJECT_0;
}

DWORD PortFixture::RingCountLocked() {
  EnterCriticalSection(&port->ringLock);
  const DWORD n = RingCount(port->ring);
  LeaveCriticalSection(&port->ringLock);
  return n;
}

DWORD PortFixture::RingGetLocked(BYTE* to, DWORD n) {
  EnterCriticalSection(&port->ringLock);
  const DWORD got = RingGet(port->ring, to, n);
  LeaveCriticalSection(&port->ringLock);
  return got;
}

DWORD PortFixture::PendingLocked() {
  EnterCriticalSection(&port->eventLock);
  const DWORD p = port->pending;
  LeaveCriticalSection(&port->eventLock);
  return p;
}

// Reverse order of Build; the receive thread is released first, as detach does.
PortFixture::~PortFixture() {
  if (port != nullptr) {
    if (port->receiveThread != nullptr) {
      Detach();
      if (device != nullptr && device->attachDone != nullptr) SetEvent(device->attachDone);
      if (!WaitThreadEnd(5000)) TerminateThread(port->receiveThread, 0);
      CloseIf(&port->receiveThread);
    }
    if (port->ring != nullptr) {
      RingFree(port->ring);
      Release(port->ring);
    }
    CloseIf(&port->closedEvent);
    CloseIf(&port->roomEvent);
    CloseIf(&port->outDone);
    CloseIf(&port->inDone);
    DeleteCriticalSection(&port->eventLock);
    DeleteCriticalSection(&port->ringLock);
  }
  if (com != nullptr) {
    CloseIf(&com->wakeEvent);
    Release(com);
  }
  Release(port);
  if (device != nullptr) {
    CloseIf(&device->attachDone);
    DeleteCriticalSection(&device->lock);
    Release(device);
  }
}

}  // namespace usbtest
