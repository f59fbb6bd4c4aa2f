// The simulated USB host stack: a bus on which device models are plugged and unplugged, the client
// registration kept in the registry, and the USB_FUNCS operations handed to USBDeviceAttach.
//
// Threads: every plugged device has a control thread (runs USBDeviceAttach and, on removal, the
// client's notification routines) and a completion thread (runs transfer completion routines).
// A notification routine may block for as long as it likes; other devices keep working, and the
// removed device's own completion routines still run.
//
// Registry layout (under HKEY_LOCAL_MACHINE):
//   Drivers\USB\ClientDrivers\<id>                                  written by
//   RegisterClientDriverID
//   Drivers\USB\LoadClients\<vid>_<pid>\<rel>\<dc>_<dsc>_<dp>\<ic>_<isc>_<ip>\<id>
//       "Dll" = REG_SZ module file name                             written by
//       RegisterClientSettings
// Each number is decimal, "Any" for USB_NO_INFO (0xFFFFFFFF). Matching reads "Dll" at attach time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ce_usb.h"
#include "sim/os/sim_os.h"

namespace sim {

using UsbDeviceId = uint32_t;

// One transfer as a device model sees it. The model never touches the client's memory: OUT data
// is copied at issue time, IN data is copied into the client's buffer by Complete.
class UsbIo {
 public:
  enum class Kind { Control, Bulk };
  virtual ~UsbIo() = default;

  Kind kind = Kind::Control;
  uint8_t endpoint = 0;           // endpoint address; 0 for the control endpoint
  bool in = false;                // data towards the host
  USB_DEVICE_REQUEST setup = {};  // control transfers only
  uint32_t length = 0;            // data stage / bulk length the client asked for
  std::vector<uint8_t> outData;   // OUT data (length bytes)
  DWORD flags = 0;

  // Completes the transfer once; later calls return false. For IN, data holds `bytes` bytes (at
  // most `length` are delivered). For OUT, data is ignored and `bytes` is the count accepted.
  // Safe to call from any thread, also from inside the model's Submit.
  virtual bool Complete(const void* data, uint32_t bytes, DWORD usbError) = 0;
  virtual bool IsDone() const = 0;
};

// A device on the bus. Submit and Cancel are never called with a host-stack lock held, so a model
// may complete a transfer from inside them or from its own thread while holding its own lock.
class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;
  // The device as GetDeviceInfo reports it; must stay valid and unchanged while plugged.
  virtual LPCUSB_DEVICE DeviceInfo() = 0;
  virtual void Submit(const std::shared_ptr<UsbIo>& io) = 0;
  // The transfer was closed, aborted or the device removed: forget it (completing it is harmless).
  // Returns the bytes of an OUT transfer the device had already acknowledged (whole packets), which
  // the host stack reports as transferred, as a host controller does; 0 for anything else.
  virtual uint32_t Cancel(const std::shared_ptr<UsbIo>& io) = 0;
  virtual void Plugged(UsbDeviceId /*id*/) {}
  // Called on removal before the outstanding transfers are completed with an error.
  virtual void Unplugged() {}
};

// Result of matching and attaching a plugged device.
struct AttachResult {
  enum class Status {
    Pending,     // attach not finished yet
    NoDriver,    // no registered settings match the device
    LoadFailed,  // the client module or its USBDeviceAttach could not be found (error, detail)
    Refused,     // every matching client refused the device
    Attached,    // a client took it (client names it)
  };
  Status status = Status::Pending;
  DWORD error = 0;     // Win32 code for LoadFailed: ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND
  std::string detail;  // loader message or module name
  sim::WString client;
};

struct PlugOptions {
  bool waitForAttach = true;  // Plug returns only after USBDeviceAttach has returned
};

// Plugs a device; returns its id (never 0). Can be called from any thread.
UsbDeviceId Plug(std::shared_ptr<UsbDeviceModel> model, PlugOptions options = {});
// Starts the removal of a device and returns at once (the client's notification may block until
// applications close their ports). False for an unknown or already removed id.
bool Unplug(UsbDeviceId id);
// The order in which a removal ends a device's business. Both are orders a host stack may use, and
// a client must cope with either.
enum class RemovalOrder {
  FailTransfersFirst,  // fail the outstanding transfers, then call the removal notification
  NotifyFirst,         // call the removal notification, then fail what is still outstanding
};
// Applies to removals started from now on; FailTransfersFirst until changed.
void SetRemovalOrder(RemovalOrder order);
RemovalOrder GetRemovalOrder();
// Waits until the removal of `id` has finished (notification routines returned, leftovers closed).
bool WaitRemoved(UsbDeviceId id, uint32_t timeoutMs);
// Waits until attach of `id` has returned.
bool WaitAttached(UsbDeviceId id, uint32_t timeoutMs);
AttachResult LastAttachResult(UsbDeviceId id);
bool IsPlugged(UsbDeviceId id);
// The USB_HANDLE the client was given for `id` (null when unknown); for tests of handle checks.
USB_HANDLE DeviceHandle(UsbDeviceId id);
// The operations table handed to clients.
LPCUSB_FUNCS UsbFuncs();

// In-process client modules: a "Dll" value equal to `moduleName` attaches through `attach`
// without loading a file.
void RegisterBuiltinUsbClient(const sim::WString& moduleName, LPUSB_DEVICE_ATTACH attach);
void UnregisterBuiltinUsbClient(const sim::WString& moduleName);
// Extra directory searched for client modules (after TV_MODULE_DIR, before the executable's own).
void SetUsbModuleDir(const std::string& dir);

// Counters for leak checks, over the whole bus.
size_t LiveTransfers();
size_t LivePipes();
size_t LiveNotificationRoutines();
// Pipes, transfers and notification registrations the host stack had to close itself because a
// client left them after refusing a device. After a removal, what the client still holds stays
// valid until it closes it (status readable, new issues refused): LiveTransfers/LivePipes show it.
size_t UsbLeakCount();
void ResetUsbLeakCount();

// Transfers issued to the bus and completed (cancelled, failed and short ones included), with the
// bytes their completions carried, by kind, since the process started; for the data path's counts.
struct UsbTransferCount {
  uint64_t issued = 0;
  uint64_t completed = 0;
  uint64_t bytes = 0;
};
struct UsbTransferCounts {
  UsbTransferCount control, bulkIn, bulkOut;
};
UsbTransferCounts TransferCounts();

}  // namespace sim
