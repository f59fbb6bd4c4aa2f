// The bridge port: the PortOps implementation behind a BridgePort, its vendor requests and its
// modem-status poll.
#pragma once

#include "bridge/bridge_records.h"
#include "bridge/port_ops.h"

// The constant port table of the bridge, in slot order.
extern const PortOps BridgePortOps;

// Asks the bridge for its part number at attach (no lock): 1 by the endpoint rule, otherwise the
// byte the bridge reports, 0 when the request fails.
DWORD BridgeQueryPartNumber(BridgeDevice* device);

// The 80 ms multimedia-timer callback; user is the BridgePort.
void CALLBACK PollModemStatus(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2);
// Starts the port's poll timer (pollTimer stays 0 when none could be made). The timer is set
// with TIME_KILL_SYNCHRONOUS, so that no callback starts once timeKillEvent has been called.
void StartModemPoll(BridgePort* port);
// Kills a poll timer taken out of pollTimer, then waits until no poll callback of the port runs.
// Called without the device lock, which the callback takes.
void StopModemPoll(BridgePort* port, UINT timer);

const DWORD BridgePollPeriodMs = 80;
const DWORD BridgeTxChunk = 0x4000;
