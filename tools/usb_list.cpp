// tvk usb-list: the bridges libusb finds, with bus, address, part number and strings.
#include <cstdio>
#include <string>

#include "tools/session.h"
#include "tools/tvk.h"
#ifdef TV_HAVE_LIBUSB
#include "sim/usb/passthrough_libusb.h"
#endif

namespace tvk {

int RunUsbList(const UsbListOptions& options) {
  UsbTarget target;
  if (!ParseUsbTarget(options.id, &target) || target.bus >= 0) {
    std::fprintf(stderr, "tvk usb-list: expected VID:PID, e.g. 10c4:ea60, not \"%s\"\n",
                 options.id.c_str());
    return kExitUsage;
  }
#ifdef TV_HAVE_LIBUSB
  std::string error;
  std::vector<sim::LibusbDeviceListing> found =
      sim::ListLibusbDevices(target.vendorId, target.productId, &error);
  if (!error.empty()) {
    std::fprintf(stderr, "tvk usb-list: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  if (found.empty()) {
    std::printf("no %04x:%04x bridge found\n", target.vendorId, target.productId);
    return kExitOk;
  }
  for (const sim::LibusbDeviceListing& d : found) {
    std::printf("%04x:%04x@%d:%d", d.vendorId, d.productId, d.bus, d.address);
    if (!d.openError.empty()) {
      std::printf("  cannot open: %s%s\n", d.openError.c_str(),
                  d.openError == "LIBUSB_ERROR_ACCESS" ? " (needs a udev rule or root)" : "");
      continue;
    }
    if (d.partNumber >= 0) std::printf("  part number %d", d.partNumber);
    std::printf("  \"%s\" \"%s\" serial \"%s\"\n", d.manufacturer.c_str(), d.product.c_str(),
                d.serial.c_str());
  }
  return kExitOk;
#else
  std::fprintf(stderr, "tvk usb-list: this build has no libusb\n");
  return kExitCheckFailed;
#endif
}

}  // namespace tvk
