#include "tests/lifecycle/fake_host.h"

#include <cstring>

namespace fakehost {
namespace {

struct Transfer {
  Device* device;
  DWORD bytes;
  DWORD error;
};

struct Pipe {
  Device* device;
  UCHAR address;
};

Device* current = nullptr;
std::mutex fakeLock;
std::vector<USB_ENDPOINT> endpointStore[4];
std::vector<USB_INTERFACE> interfaceStore;
USB_CONFIGURATION configuration;
USB_DEVICE deviceInfo;

Device* Of(USB_HANDLE handle) {
  return reinterpret_cast<Device*>(handle);
}

USB_TRANSFER NewTransfer(Device* device, DWORD bytes, DWORD error) {
  std::lock_guard<std::mutex> hold(fakeLock);
  ++device->openTransfers;
  return reinterpret_cast<USB_TRANSFER>(new Transfer{device, bytes, error});
}

LPCUSB_DEVICE GetDeviceInfo(USB_HANDLE handle) {
  return Of(handle)->noDeviceInfo ? nullptr : &deviceInfo;
}

USB_TRANSFER SetInterface(USB_HANDLE handle, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR,
                          UCHAR) {
  Device* device = Of(handle);
  if (device->setInterfaceFails) return nullptr;
  return NewTransfer(device, 0, 0);
}

USB_PIPE OpenPipe(USB_HANDLE handle, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
  Device* device = Of(handle);
  std::lock_guard<std::mutex> hold(fakeLock);
  if (device->pipeCalls++ == device->openPipeFailAt) return nullptr;
  ++device->openPipes;
  return reinterpret_cast<USB_PIPE>(new Pipe{device, endpoint->bEndpointAddress});
}

BOOL ClosePipe(USB_PIPE pipe) {
  Pipe* p = reinterpret_cast<Pipe*>(pipe);
  {
    std::lock_guard<std::mutex> hold(fakeLock);
    --p->device->openPipes;
  }
  delete p;
  return TRUE;
}

USB_TRANSFER GetDescriptor(USB_HANDLE handle, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR type,
                           UCHAR index, WORD, WORD length, LPVOID buffer) {
  Device* device = Of(handle);
  if (type != USB_STRING_DESCRIPTOR_TYPE) return nullptr;
  StringAnswer answer;
  auto found = device->strings.find(index);
  if (found != device->strings.end()) {
    answer = found->second;
  } else {
    answer.full = StringDescriptor("Bridge");
    answer.header.assign(answer.full.begin(), answer.full.begin() + 2);
  }
  const bool headerRead = length == 2;
  if (headerRead ? answer.noTransfer : answer.secondNoTransfer) return nullptr;
  const std::vector<BYTE>& data = headerRead ? answer.header : answer.full;
  DWORD n = static_cast<DWORD>(data.size() < length ? data.size() : length);
  if (n > 0) std::memcpy(buffer, data.data(), n);
  return NewTransfer(device, n, 0);
}

BOOL RegisterNotification(USB_HANDLE handle, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context) {
  Device* device = Of(handle);
  if (device->registerFails) return FALSE;
  std::lock_guard<std::mutex> hold(fakeLock);
  ++device->registered;
  device->notify = routine;
  device->notifyContext = context;
  return TRUE;
}

BOOL UnRegisterNotification(USB_HANDLE handle, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context) {
  Device* device = Of(handle);
  std::lock_guard<std::mutex> hold(fakeLock);
  if (device->registered > 0 && device->notify == routine && device->notifyContext == context) {
    --device->registered;
    device->notify = nullptr;
  }
  return TRUE;
}

USB_TRANSFER IssueVendor(USB_HANDLE handle, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                         LPCUSB_DEVICE_REQUEST setup, LPVOID buffer, ULONG) {
  Device* device = Of(handle);
  // The part-number query: vendor, device, IN, 0xFF / 0x370B.
  if (setup->bRequest == 0xFF && setup->wValue == 0x370B) {
    if (device->partNumberFails) return nullptr;
    if (buffer != nullptr && setup->wLength >= 1) *static_cast<BYTE*>(buffer) = device->partNumber;
    return NewTransfer(device, 1, 0);
  }
  return NewTransfer(device, setup->wLength, 0);
}

USB_TRANSFER IssueBulk(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD, LPVOID,
                       ULONG) {
  // Never completes: the receive thread stays in its wait until detach sets inDone.
  return NewTransfer(reinterpret_cast<Pipe*>(pipe)->device, 0, 0);
}

BOOL GetTransferStatus(USB_TRANSFER transfer, LPDWORD bytes, LPDWORD error) {
  Transfer* t = reinterpret_cast<Transfer*>(transfer);
  *bytes = t->bytes;
  *error = t->error;
  return TRUE;
}

BOOL IsTransferComplete(USB_TRANSFER) {
  return TRUE;
}
BOOL AbortTransfer(USB_TRANSFER, DWORD) {
  return TRUE;
}

BOOL CloseTransfer(USB_TRANSFER transfer) {
  Transfer* t = reinterpret_cast<Transfer*>(transfer);
  {
    std::lock_guard<std::mutex> hold(fakeLock);
    --t->device->openTransfers;
  }
  delete t;
  return TRUE;
}

const USB_FUNCS funcs = {
    sizeof(USB_FUNCS), GetDeviceInfo,        SetInterface,           OpenPipe,      ClosePipe,
    GetDescriptor,     RegisterNotification, UnRegisterNotification, IssueVendor,   IssueBulk,
    GetTransferStatus, IsTransferComplete,   AbortTransfer,          CloseTransfer,
};

const USB_DRIVER_SETTINGS settings = {
    sizeof(USB_DRIVER_SETTINGS),
    0x10C4,
    0xEA60,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
};

}  // namespace

USB_ENDPOINT_DESCRIPTOR Endpoint(UCHAR address, UCHAR attributes) {
  USB_ENDPOINT_DESCRIPTOR d{};
  d.bLength = 7;
  d.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
  d.bEndpointAddress = address;
  d.bmAttributes = attributes;
  d.wMaxPacketSize = 64;
  return d;
}

Interface BridgeInterface(UCHAR number) {
  Interface i;
  i.number = number;
  i.endpoints = {Endpoint(static_cast<UCHAR>(0x81 + number), USB_ENDPOINT_TYPE_BULK),
                 Endpoint(static_cast<UCHAR>(0x01 + number), USB_ENDPOINT_TYPE_BULK)};
  return i;
}

std::vector<BYTE> StringDescriptor(const char* text) {
  std::vector<BYTE> d;
  d.push_back(static_cast<BYTE>(2 + 2 * std::strlen(text)));
  d.push_back(USB_STRING_DESCRIPTOR_TYPE);
  for (const char* p = text; *p; ++p) {
    d.push_back(static_cast<BYTE>(*p));
    d.push_back(0);
  }
  return d;
}

USB_HANDLE Plug(Device* device) {
  current = device;
  interfaceStore.clear();
  for (size_t i = 0; i < device->interfaces.size() && i < 4; ++i) {
    endpointStore[i].clear();
    for (const USB_ENDPOINT_DESCRIPTOR& d : device->interfaces[i].endpoints) {
      USB_ENDPOINT e{};
      e.dwCount = sizeof(USB_ENDPOINT);
      e.Descriptor = d;
      endpointStore[i].push_back(e);
    }
    USB_INTERFACE itf{};
    itf.dwCount = sizeof(USB_INTERFACE);
    itf.Descriptor.bLength = 9;
    itf.Descriptor.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    itf.Descriptor.bInterfaceNumber = device->interfaces[i].number;
    itf.Descriptor.bNumEndpoints = static_cast<UCHAR>(endpointStore[i].size());
    itf.lpEndpoints = endpointStore[i].empty() ? nullptr : endpointStore[i].data();
    interfaceStore.push_back(itf);
  }
  configuration = {};
  configuration.dwCount = sizeof(USB_CONFIGURATION);
  configuration.dwNumInterfaces = static_cast<DWORD>(device->interfaces.size());
  configuration.lpInterfaces = interfaceStore.empty() ? nullptr : interfaceStore.data();
  deviceInfo = {};
  deviceInfo.dwCount = sizeof(USB_DEVICE);
  deviceInfo.lpConfigs = &configuration;
  deviceInfo.lpActiveConfig = &configuration;
  return reinterpret_cast<USB_HANDLE>(device);
}

LPCUSB_FUNCS Funcs() {
  return &funcs;
}
const USB_DRIVER_SETTINGS* Settings() {
  return &settings;
}

}  // namespace fakehost
