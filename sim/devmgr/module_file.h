// Loading module files (host-specific; the only place that knows how shared objects are loaded).
#pragma once

#include <string>

namespace sim::modfile {

// Opens a shared object by path; null when it cannot be loaded.
void* Open(const std::string& path);
// The address of an exported symbol; null when the module does not export it.
void* Symbol(void* module, const char* name);
void Close(void* module);
// True when a regular file exists at the path.
bool Exists(const std::string& path);
// The folder of the running executable, without a trailing '/'; empty when unknown.
std::string ExecutableDirectory();
// The value of an environment variable; empty when unset.
std::string Environment(const char* name);

}  // namespace sim::modfile
