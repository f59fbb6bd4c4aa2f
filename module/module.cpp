// The loadable module: the platform-fixed entry points and nothing else. The stream entry points
// forward to the serial core bound to the bridge's port table; the USB client entry points to
// registration and attach.
#include "bridge/bridge_port.h"
#include "core/com_device.h"
#include "platform/ce_os.h"
#include "platform/ce_usb.h"
#include "usb/attach.h"
#include "usb/registration.h"

namespace {

ComDevice* AsDevice(DWORD_PTR context) {
  return reinterpret_cast<ComDevice*>(context);
}
ComHandle* AsHandle(DWORD_PTR context) {
  return reinterpret_cast<ComHandle*>(context);
}

}  // namespace

TV_EXPORT DWORD_PTR COM_Init(LPCWSTR activeKey, LPCVOID busContext) {
  (void)busContext;
  return reinterpret_cast<DWORD_PTR>(ComInit(activeKey, &BridgePortOps));
}

TV_EXPORT BOOL COM_Deinit(DWORD_PTR device) {
  return ComDeinit(AsDevice(device));
}

TV_EXPORT DWORD_PTR COM_Open(DWORD_PTR device, DWORD access, DWORD shareMode) {
  return reinterpret_cast<DWORD_PTR>(ComOpen(AsDevice(device), access, shareMode));
}

TV_EXPORT BOOL COM_Close(DWORD_PTR open) {
  return ComClose(AsHandle(open));
}

TV_EXPORT DWORD COM_Read(DWORD_PTR open, LPVOID buffer, DWORD length) {
  return ComRead(AsHandle(open), buffer, length);
}

TV_EXPORT DWORD COM_Write(DWORD_PTR open, LPCVOID buffer, DWORD length) {
  return ComWrite(AsHandle(open), buffer, length);
}

TV_EXPORT DWORD COM_Seek(DWORD_PTR open, LONG distance, DWORD method) {
  return ComSeek(AsHandle(open), distance, method);
}

TV_EXPORT BOOL COM_IOControl(DWORD_PTR open, DWORD code, PBYTE inBuffer, DWORD inSize,
                             PBYTE outBuffer, DWORD outSize, PDWORD actualOut) {
  return ComIOControl(AsHandle(open), code, inBuffer, inSize, outBuffer, outSize, actualOut);
}

TV_EXPORT DWORD COM_PowerUp(DWORD_PTR device) {
  return ComPowerUp(AsDevice(device));
}

TV_EXPORT DWORD COM_PowerDown(DWORD_PTR device) {
  return ComPowerDown(AsDevice(device));
}

TV_EXPORT BOOL USBInstallDriver(LPCWSTR driverLibFile) {
  return InstallDriver(driverLibFile);
}

TV_EXPORT BOOL USBUnInstallDriver(void) {
  return UnInstallDriver();
}

TV_EXPORT BOOL USBDeviceAttach(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE iface,
                               LPCWSTR uniqueDriverId, LPBOOL acceptControl,
                               LPCUSB_DRIVER_SETTINGS settings, DWORD reserved) {
  return DeviceAttach(device, funcs, iface, uniqueDriverId, acceptControl, settings, reserved);
}

// The entry points have exactly the signatures the device manager and the host stack call: a
// static_cast converts a function only to a pointer of its own type.
C_ASSERT(sizeof(static_cast<PFN_STREAM_INIT>(COM_Init)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_DEINIT>(COM_Deinit)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_OPEN>(COM_Open)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_CLOSE>(COM_Close)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_READ>(COM_Read)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_WRITE>(COM_Write)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_SEEK>(COM_Seek)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_IOCONTROL>(COM_IOControl)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_POWER>(COM_PowerUp)) != 0);
C_ASSERT(sizeof(static_cast<PFN_STREAM_POWER>(COM_PowerDown)) != 0);
C_ASSERT(sizeof(static_cast<LPUSB_INSTALL_DRIVER>(USBInstallDriver)) != 0);
C_ASSERT(sizeof(static_cast<LPUSB_UNINSTALL_DRIVER>(USBUnInstallDriver)) != 0);
C_ASSERT(sizeof(static_cast<LPUSB_DEVICE_ATTACH>(USBDeviceAttach)) != 0);
