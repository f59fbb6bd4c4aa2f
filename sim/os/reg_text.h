// The REGEDIT4 text the registry loader understands (see RegistryLoadText in sim/os/sim_os.h),
// parsed into operations that each registry backend applies to its own store.
#pragma once

#include <string>
#include <vector>

#include "sim/os/sim_os.h"

namespace sim::os_detail {

struct LoadOp {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind;
  WString path;
  WString name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Parses the whole text; on failure nothing is returned and *error names the line and the reason.
bool ParseRegText(const std::string& text, std::vector<LoadOp>* ops, std::string* error);

// One value as RegistryDump lists it: `  "name" type 1: 41 00 00 00` and a newline.
std::string DumpValueLine(const WString& name, DWORD type, const BYTE* data, size_t size);

// A string as REG_SZ data: UTF-16LE code units with the terminating zero.
std::vector<BYTE> WideBytes(const WString& s);

}  // namespace sim::os_detail
