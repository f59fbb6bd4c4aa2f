// A far end of a modelled bridge's line on a new pseudo-terminal, so that programs on the host (a
// terminal program, a script on a serial library) talk to the simulated port. Linux's version is
// pty_line_linux.cpp; other hosts have none.
#pragma once

#include <memory>
#include <string>

#include "sim/bridge_model/bridge_model.h"

namespace sim {

// Opens a pseudo-terminal in raw mode and returns the far end for BridgeModel::ConnectExternal,
// with the terminal's path (such as /dev/pts/3); null with a message where that fails. Bytes the
// bridge sends can be read from the terminal, bytes written to it arrive at the bridge; the
// terminal's own settings (baud rate, modem lines) change nothing on the line. The terminal is
// removed when the last reference to the far end goes.
std::shared_ptr<ExternalLine> OpenPtyLine(std::string* path, std::string* error);

}  // namespace sim
