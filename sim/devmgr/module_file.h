// Loading module files (host-specific; the only place that knows how shared objects are loaded).
#pragma once

#include <cstdlib>
#include <string>

namespace sim::modfile {

// The file name ending of a module on this host: ".so", or ".dll" on Windows.
extern const char kSuffix[];

// True when the name holds a folder (a '/', or on Windows a '\\' as well).
bool HasFolder(const std::string& name);
// Opens a shared object by path; null when it cannot be loaded (LastError() says why).
void* Open(const std::string& path);
// The module at the path if this process has it loaded already, without loading it; else null.
void* Loaded(const std::string& path);
std::string LastError();
// The address of an exported symbol; null when the module does not export it.
void* Symbol(void* module, const char* name);
void Close(void* module);
// True when a regular file exists at the path.
bool Exists(const std::string& path);
// The folder of the running executable, without a trailing '/'; empty when unknown.
std::string ExecutableDirectory();
// The value of an environment variable; empty when unset.
inline std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}
// Sets an environment variable; an empty value removes it.
void SetEnvironment(const char* name, const std::string& value);

}  // namespace sim::modfile
