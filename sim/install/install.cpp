#include <mutex>

#include "platform/ce_usb.h"
#include "sim/devmgr/module_file.h"
#include "sim/install/sim_install.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

std::mutex installLock;
void* installedModule = nullptr;

sim::WString Widen(const std::string& text) {
  // Module paths are ASCII in practice; bytes above 0x7F are carried over as Latin-1.
  sim::WString wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide.push_back(static_cast<WCHAR>(c));
  return wide;
}

bool UninstallLocked() {
  if (installedModule == nullptr) return false;
  auto uninstall = reinterpret_cast<LPUSB_UNINSTALL_DRIVER>(
      modfile::Symbol(installedModule, "USBUnInstallDriver"));
  bool ok = uninstall != nullptr && uninstall() != FALSE;
  modfile::Close(installedModule);
  installedModule = nullptr;
  return ok;
}

}  // namespace

std::string DriverModulePath() {
  std::string folder = modfile::ExecutableDirectory();
  if (folder.empty()) return {};
  return folder + "/libTollaverk" + modfile::kSuffix;
}

bool InstallDriverModule(const std::string& path) {
  std::lock_guard<std::mutex> hold(installLock);
  if (installedModule != nullptr) UninstallLocked();
  void* module = modfile::Open(path);
  if (module == nullptr) return false;
  auto install =
      reinterpret_cast<LPUSB_INSTALL_DRIVER>(modfile::Symbol(module, "USBInstallDriver"));
  if (install == nullptr) {
    modfile::Close(module);
    return false;
  }
  installedModule = module;
  sim::WString wide = Widen(path);
  return install(wide.c_str()) != FALSE;
}

bool UninstallDriverModule() {
  std::lock_guard<std::mutex> hold(installLock);
  return UninstallLocked();
}

}  // namespace sim
