// A scripted USB host stack for the attach tests: one device with a configurable configuration,
// string descriptors and faults, answering through a USB_FUNCS table. Bulk IN transfers stay
// pending until they are closed, as on a bridge that never sends anything.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/ce_usb.h"

namespace fakehost {

struct StringAnswer {
  bool noTransfer = false;        // the header read gives no transfer
  std::vector<BYTE> header;       // what the 2-byte header read delivers
  bool secondNoTransfer = false;  // the full read gives no transfer
  std::vector<BYTE> full;         // what the full read delivers (cut to the requested length)
};

struct Interface {
  UCHAR number = 0;
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

struct Device {
  std::vector<Interface> interfaces;
  bool noDeviceInfo = false;
  BYTE partNumber = 2;
  bool partNumberFails = false;
  std::map<UCHAR, StringAnswer> strings;  // by descriptor index; absent: a valid default
  bool setInterfaceFails = false;
  int openPipeFailAt = -1;  // 0-based index of the OpenPipe call that fails
  bool registerFails = false;

  // Observed (under the fake's own lock).
  int openPipes = 0;
  int openTransfers = 0;
  int pipeCalls = 0;
  int registered = 0;
  LPDEVICE_NOTIFY_ROUTINE notify = nullptr;
  LPVOID notifyContext = nullptr;
};

// Standard bridge endpoints: bulk IN 0x81, bulk OUT 0x01 (interface n: 0x81+n, 0x01+n).
Interface BridgeInterface(UCHAR number);
USB_ENDPOINT_DESCRIPTOR Endpoint(UCHAR address, UCHAR attributes);
std::vector<BYTE> StringDescriptor(const char* text);

// Builds the host stack's view of the device; valid until the next call or Reset.
USB_HANDLE Plug(Device* device);
LPCUSB_FUNCS Funcs();
const USB_DRIVER_SETTINGS* Settings();

}  // namespace fakehost
