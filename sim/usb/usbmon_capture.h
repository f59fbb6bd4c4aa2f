// A capture of what crosses the simulated bus, written as Linux usbmon records in a pcap file
// (link type LINKTYPE_USB_LINUX_MMAPPED, 220: the 64-byte usbmon header, then the data), which
// Wireshark and tshark read as a capture taken on a Linux host.
//
// Every transfer gives two records, sharing one URB id: a submission ('S') when the host stack
// takes the transfer from the client, and a completion ('C') when the device (or a cancel, or the
// removal) ends it. Records carry bus 1 and the device's address, the endpoint and direction, the
// transfer type, the setup packet (control submissions), usbmon's status (-EINPROGRESS on a
// submission; on a completion 0, -EPIPE for a stall, -ENOENT or -ECONNRESET for a cancel,
// -ESHUTDOWN for a transfer ended by the removal, -EPROTO, -EILSEQ, ... for device errors), the
// length asked for or transferred and the data (OUT data on the submission, IN data on the
// completion). Time stamps come from the clock the simulation runs on, taken when the host stack
// saw the event.
//
// Before a device's first transfer the capture holds the reading of its device and configuration
// descriptors that a host does when it enumerates a device (the simulated host stack takes them
// from the model directly); from them Wireshark knows the device's identity and interfaces.
//
// Records are gathered in memory and written by a thread of their own, so the data path pays a
// copy into a buffer. The capture is complete when StopUsbCapture returns, when the process exits,
// and on SIGINT or SIGTERM when the program has no handler of its own for them (the file is
// finished, then the signal takes its usual course).
//
// TV_USB_CAPTURE=FILE in the environment captures the whole process from the first plug on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "sim/usb/sim_usb.h"

namespace sim {

// Starts a capture into `path` (created or truncated), ending one that runs. False, with the
// reason in `error`, when the file cannot be created.
bool StartUsbCapture(const std::string& path, std::string* error = nullptr);
// Writes what is still buffered and closes the file. False when a write failed (or none ran).
bool StopUsbCapture();
bool UsbCaptureActive();
// Records written or buffered by the running capture (or the last one).
uint64_t UsbCaptureRecords();

namespace usb_detail {

// The host stack's hooks. Each is called only while UsbCaptureOn() holds: the data path's one
// check, a relaxed load of a flag that changes only when a capture starts or stops.
extern std::atomic<bool> g_captureOn;
inline bool UsbCaptureOn() {
  return g_captureOn.load(std::memory_order_relaxed);
}
// The host stack took `io` from the client (its URB id `urb`), before the device sees it.
void CaptureSubmit(const UsbIo& io, uint64_t urb, UsbDeviceId device);
// `io` ended with `usbError` and `bytes` transferred (IN: `data`). `deviceGone`: the device was
// being removed; `asyncUnlink`: cancelled by an abort that did not wait.
void CaptureComplete(const UsbIo& io, uint64_t urb, UsbDeviceId device, DWORD usbError,
                     bool deviceGone, bool asyncUnlink, const void* data, uint32_t bytes);
// A device was plugged: its enumeration (device and configuration descriptors).
void CapturePlug(UsbDeviceId device, LPCUSB_DEVICE info);
// Starts the capture TV_USB_CAPTURE names, once per process (unless one runs already).
void CaptureFromEnvironment();

}  // namespace usb_detail
}  // namespace sim
