// Module files on Windows: LoadLibrary and friends.
#include <windows.h>

#include <cstdlib>

#include "sim/devmgr/module_file.h"

namespace sim::modfile {
namespace {

// The loader wants backslashes.
std::string Native(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

const char kSuffix[] = ".dll";

bool HasFolder(const std::string& name) {
  return name.find_first_of("/\\") != std::string::npos;
}

void* Open(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryA(Native(path).c_str()));
}

void* Loaded(const std::string& path) {
  return reinterpret_cast<void*>(GetModuleHandleA(Native(path).c_str()));
}

std::string LastError() {
  const DWORD code = GetLastError();
  char text[512] = {};
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text, nullptr) == 0) {
    return "error " + std::to_string(code);
  }
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

void* Symbol(void* module, const char* name) {
  return module ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name))
                : nullptr;
}

void Close(void* module) {
  if (module) FreeLibrary(static_cast<HMODULE>(module));
}

bool Exists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(Native(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ExecutableDirectory() {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return {};
  std::string path(buffer, n);
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return {};
  return path.substr(0, slash);
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());  // an empty value removes the variable
}

}  // namespace sim::modfile
