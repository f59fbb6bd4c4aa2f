// Module files on a POSIX host: dlopen and friends.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "sim/devmgr/module_file.h"

namespace sim::modfile {

const char kSuffix[] = ".so";

bool HasFolder(const std::string& name) {
  return name.find('/') != std::string::npos;
}

void* Open(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* Loaded(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module) dlclose(module);  // NOLOAD still counts a reference
  return module;
}

std::string LastError() {
  const char* text = dlerror();
  return text ? std::string(text) : std::string();
}

void* Symbol(void* module, const char* name) {
  return module ? dlsym(module, name) : nullptr;
}

void Close(void* module) {
  if (module) dlclose(module);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash);
}

void SetEnvironment(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

}  // namespace sim::modfile
