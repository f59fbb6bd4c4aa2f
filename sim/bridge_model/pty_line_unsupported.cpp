// Hosts without pseudo-terminals: the far end cannot be opened.
#include "sim/bridge_model/pty_line.h"

namespace sim {

std::shared_ptr<ExternalLine> OpenPtyLine(std::string* path, std::string* error) {
  path->clear();
  *error = "pseudo-terminals are not available on this host";
  return nullptr;
}

}  // namespace sim
