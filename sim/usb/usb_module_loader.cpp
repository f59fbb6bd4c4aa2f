#include "sim/usb/usb_module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace sim::usb_detail {
namespace {

std::string ExecutableDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::vector<std::string> Candidates(const std::string& name, const std::string& extraDir) {
  std::vector<std::string> out;
  if (name.find('/') != std::string::npos) {
    out.push_back(name);
    return out;
  }
  std::vector<std::string> dirs;
  if (const char* env = std::getenv("TV_MODULE_DIR"); env && *env) dirs.emplace_back(env);
  if (!extraDir.empty()) dirs.push_back(extraDir);
  if (std::string exe = ExecutableDir(); !exe.empty()) dirs.push_back(exe);
  for (const std::string& d : dirs) {
    out.push_back(d + "/" + name);
    out.push_back(d + "/" + name + ".so");
    out.push_back(d + "/lib" + name + ".so");
  }
  return out;
}

}  // namespace

LoadedAttach LoadClientAttach(const std::string& moduleName, const std::string& extraDir) {
  LoadedAttach result;
  std::string firstError;
  for (const std::string& path : Candidates(moduleName, extraDir)) {
    if (access(path.c_str(), F_OK) != 0) continue;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      if (firstError.empty()) firstError = dlerror();
      continue;
    }
    void* sym = dlsym(module, "USBDeviceAttach");
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
