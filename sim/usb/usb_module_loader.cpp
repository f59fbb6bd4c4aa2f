#include "sim/usb/usb_module_loader.h"

#include <vector>

#include "sim/devmgr/module_file.h"

namespace sim::usb_detail {
namespace {

std::vector<std::string> Candidates(const std::string& name, const std::string& extraDir) {
  std::vector<std::string> out;
  if (modfile::HasFolder(name)) {
    out.push_back(name);
    return out;
  }
  std::vector<std::string> dirs;
  if (std::string env = modfile::Environment("TV_MODULE_DIR"); !env.empty()) dirs.push_back(env);
  if (!extraDir.empty()) dirs.push_back(extraDir);
  if (std::string exe = modfile::ExecutableDirectory(); !exe.empty()) dirs.push_back(exe);
  for (const std::string& d : dirs) {
    out.push_back(d + "/" + name);
    out.push_back(d + "/" + name + modfile::kSuffix);
    out.push_back(d + "/lib" + name + modfile::kSuffix);
  }
  return out;
}

}  // namespace

LoadedAttach LoadClientAttach(const std::string& moduleName, const std::string& extraDir) {
  LoadedAttach result;
  std::string firstError;
  for (const std::string& path : Candidates(moduleName, extraDir)) {
    if (!modfile::Exists(path)) continue;
    void* module = modfile::Open(path);
    if (!module) {
      if (firstError.empty()) firstError = path + ": " + modfile::LastError();
      continue;
    }
    void* sym = modfile::Symbol(module, "USBDeviceAttach");
    if (!sym) {
      result.error = ERROR_PROC_NOT_FOUND;
      result.detail = path + ": no USBDeviceAttach";
      return result;
    }
    result.attach = reinterpret_cast<LPUSB_DEVICE_ATTACH>(sym);
    result.detail = path;
    return result;
  }
  result.error = ERROR_MOD_NOT_FOUND;
  result.detail = firstError.empty() ? moduleName + ": module not found" : firstError;
  return result;
}

}  // namespace sim::usb_detail
