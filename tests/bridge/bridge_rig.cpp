#include "tests/bridge/bridge_rig.h"

#include <atomic>
#include <cstring>
#include <string>

#include "usb/byte_ring.h"
#include "usb/transfer.h"

namespace bridgetest {
namespace {

std::atomic<int> rigNumber{0};

sim::WString Wide(const std::string& s) {
  return sim::WString(s.begin(), s.end());
}

void SetString(HKEY key, const WCHAR* name, const sim::WString& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 (DWORD)((value.size() + 1) * 2));
}

}  // namespace

DCB DefaultDcb() {
  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 512;
  dcb.XoffLim = 128;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x0D;
  dcb.EofChar = 0x0D;
  dcb.EvtChar = 0x0D;
  return dcb;
}

void BridgeRig::Build(USB_HANDLE handle, LPCUSB_FUNCS usb, USB_PIPE in, USB_PIPE out) {
  device = static_cast<BridgeDevice*>(LocalAlloc(LPTR, sizeof(BridgeDevice)));
  device->signature = BridgeSignature;
  InitializeCriticalSection(&device->lock);
  device->hostDevice = handle;
  device->usb = usb;
  device->vendorId = 0x10C4;
  device->productId = 0xEA60;
  device->portCount = 1;
  device->partNumber = 2;
  device->attachDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  port = static_cast<BridgePort*>(LocalAlloc(LPTR, sizeof(BridgePort)));
  port->signature = BridgeSignature;
  port->device = device;
  InitializeCriticalSection(&port->ringLock);
  InitializeCriticalSection(&port->eventLock);
  port->interfaceNumber = 0;
  port->inPipe = in;
  port->inEndpoint = 0x81;
  port->inDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  port->outPipe = out;
  port->outEndpoint = 0x01;
  port->outDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  port->closedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  port->roomEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  port->ring = static_cast<ByteRing*>(LocalAlloc(LPTR, sizeof(ByteRing)));
  RingInit(port->ring, 1, 16384, 0);
  device->ports[0] = port;

  int n = ++rigNumber;
  deviceKey_ = Wide("Drivers\\BridgeTest\\Port" + std::to_string(n));
  activeKey_ = Wide("Drivers\\Active\\BridgeTest" + std::to_string(n));
}

BridgeRig::BridgeRig() {
  Build(host.Handle(), host.Funcs(), host.InPipe(), host.OutPipe());
}

BridgeRig::BridgeRig(const sim::BridgeConfig& config) {
  model = sim::BridgeModel::Create(config);
  modelId = model->Plug();
  USB_HANDLE handle = sim::DeviceHandle(modelId);
  LPCUSB_FUNCS usb = sim::UsbFuncs();
  USB_PIPE in = nullptr;
  USB_PIPE out = nullptr;
  LPCUSB_DEVICE info = usb->lpGetDeviceInfo(handle);
  if (info != nullptr && info->lpActiveConfig != nullptr &&
      info->lpActiveConfig->dwNumInterfaces > 0) {
    const USB_INTERFACE& iface = info->lpActiveConfig->lpInterfaces[0];
    for (UCHAR i = 0; i < iface.Descriptor.bNumEndpoints; ++i) {
      const USB_ENDPOINT_DESCRIPTOR& ep = iface.lpEndpoints[i].Descriptor;
      if ((ep.bmAttributes & 3) != USB_ENDPOINT_TYPE_BULK) continue;
      if ((ep.bEndpointAddress & 0x80) && in == nullptr) in = usb->lpOpenPipe(handle, &ep);
      if (!(ep.bEndpointAddress & 0x80) && out == nullptr) out = usb->lpOpenPipe(handle, &ep);
    }
  }
  Build(handle, usb, in, out);
  device->partNumber = config.partNumber;
}

void BridgeRig::WriteClientInfo(DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, activeKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                  &key, &disposition);
  SetString(key, TEXT("Key"), deviceKey_);
  if (data != nullptr) {
    RegSetValueExW(key, TEXT("ClientInfo"), 0, type, static_cast<const BYTE*>(data), size);
  } else {
    RegDeleteValueW(key, TEXT("ClientInfo"));
  }
  RegCloseKey(key);
}

bool BridgeRig::Bind() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, deviceKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                  &key, &disposition);
  SetString(key, TEXT("Prefix"), TEXT("COM"));
  RegCloseKey(key);
  DWORD_PTR client = reinterpret_cast<DWORD_PTR>(port);
  WriteClientInfo(REG_QWORD, &client, sizeof(client));
  com = ComInit(activeKey_.c_str(), &BridgePortOps);
  if (com == nullptr) return false;
  StartReceiving();
  return true;
}

void BridgeRig::StartReceiving() {
  port->receiveThread = CreateThread(nullptr, 0, ReceiveThreadProc, port, 0, nullptr);
  SetEvent(device->attachDone);
  receiving_ = true;
}

void BridgeRig::MarkDetached() {
  EnterCriticalSection(&device->lock);
  device->detached = 1;
  __atomic_fetch_and(&port->state, (BYTE)~PortOpened, __ATOMIC_ACQ_REL);
  __atomic_fetch_or(&port->state, (BYTE)PortDetached, __ATOMIC_ACQ_REL);
  SetEvent(port->inDone);
  LeaveCriticalSection(&device->lock);
}

BYTE* BridgeRig::StoredString(const std::vector<BYTE>& bytes, size_t blockSize) {
  BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, blockSize));
  std::memcpy(block, bytes.data(), bytes.size() < blockSize ? bytes.size() : blockSize);
  return block;
}

BridgeRig::~BridgeRig() {
  if (com != nullptr) ComDeinit(com);
  // Detach order: poll timer (stopped by Close), detached marks, the receive thread, then release.
  MarkDetached();
  if (receiving_) {
    WaitForSingleObject(port->receiveThread, 3000);
    CloseHandle(port->receiveThread);
  }
  if (model != nullptr) {
    device->usb->lpClosePipe(port->inPipe);
    device->usb->lpClosePipe(port->outPipe);
    model->Unplug();
    sim::WaitRemoved(modelId, 5000);
  }
  RingFree(port->ring);
  LocalFree(port->ring);
  CloseHandle(port->inDone);
  CloseHandle(port->outDone);
  CloseHandle(port->closedEvent);
  CloseHandle(port->roomEvent);
  DeleteCriticalSection(&port->eventLock);
  DeleteCriticalSection(&port->ringLock);
  LocalFree(port);
  if (device->productString) LocalFree(device->productString);
  if (device->serialString) LocalFree(device->serialString);
  CloseHandle(device->attachDone);
  DeleteCriticalSection(&device->lock);
  LocalFree(device);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, activeKey_.c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, deviceKey_.c_str());
}

}  // namespace bridgetest
