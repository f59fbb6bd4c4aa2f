// Builds without libusb or umockdev: only the direct path exists.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/bridge_model/libusb_path.h"

namespace sim {

bool LibusbPathSelected() {
  const char* v = std::getenv("TV_USB");
  if (v && std::strcmp(v, "libusb") == 0) {
    std::fprintf(stderr,
                 "TV_USB=libusb: this build has no libusb path (libusb-1.0 and umockdev "
                 "were not found at configure time)\n");
    std::exit(2);
  }
  return false;
}

UsbDeviceId PlugThroughLibusb(const std::shared_ptr<BridgeModel>&, PlugOptions) {
  return 0;
}

bool UnplugFromLibusb(const BridgeModel*) {
  return false;
}

}  // namespace sim
