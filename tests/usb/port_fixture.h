// A BridgeDevice with one BridgePort built by hand, as attach would build it, around a given host
// stack: records from the local heap, events, the 16384-byte ring, a bound ComDevice carrying only
// its wake event, and the port's receive thread.
#pragma once

#include "core/com_device.h"
#include "platform/ce_os.h"
#include "platform/ce_usb.h"
#include "usb/byte_ring.h"
#include "usb/transfer.h"

namespace usbtest {

class PortFixture {
 public:
  PortFixture(LPCUSB_FUNCS usb, USB_HANDLE hostDevice, USB_PIPE inPipe, USB_PIPE outPipe);
  ~PortFixture();

  bool Ready() const;
  bool StartThread();
  void ReleaseAttach() { SetEvent(device->attachDone); }
  // What detach does for the receive thread: the detached bit, then inDone.
  void Detach();
  // True when the receive thread ended within timeoutMs.
  bool WaitThreadEnd(DWORD timeoutMs);
  void UnbindComDevice() { __atomic_store_n(&port->comDevice, nullptr, __ATOMIC_SEQ_CST); }

  DWORD RingCountLocked();
  DWORD RingGetLocked(BYTE* to, DWORD n);
  DWORD PendingLocked();

  BridgeDevice* device = nullptr;
  BridgePort* port = nullptr;
  ComDevice* com = nullptr;

 private:
  void Build(LPCUSB_FUNCS usb, USB_HANDLE hostDevice);
};

}  // namespace usbtest
