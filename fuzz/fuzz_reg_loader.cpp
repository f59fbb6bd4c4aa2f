// Fuzz target: the simulated registry's loader of REGEDIT4 text. Checked: a text that is refused
// loads nothing and says which line is wrong; a text that loads gives the same registry when loaded
// again; no key handle stays open.
#include <string>

#include "fuzz/world.h"
#include "sim/os/sim_os.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string empty = [] {
    sim::RegistryClear();
    return sim::RegistryDump();
  }();
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::RegistryClear();
  std::string error;
  if (!sim::RegistryLoadText(text, &error)) {
    world::Check(sim::RegistryDump() == empty, "a refused text loaded something");
    world::Check(error.rfind("line ", 0) == 0, "the error names the line: " + error);
  } else {
    const std::string loaded = sim::RegistryDump();
    world::Check(sim::RegistryLoadText(text, &error), "a text that loaded once loads again");
    world::Check(sim::RegistryDump() == loaded, "loading the text again changes the registry");
  }
  world::Check(sim::RegistryOpenKeys() == 0, "no key handle left open");
  return 0;
}
