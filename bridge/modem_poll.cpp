// The 80 ms modem-status poll of an open port: reads the modem status byte and the comm status,
// and turns changes of CTS, DSR, ring indicator and carrier detect into communication events.
#include "bridge/bridge_port.h"
#include "bridge/bridge_requests.h"

namespace {

// One poll period. The opened bit guards the requests: Close and detach clear it before they kill
// the timer, so a callback that runs late returns without a request.
void PollOnce(BridgePort* port) {
  BridgeDevice* device = port->device;
  // Read without the lock: only this timer and Open (before the timer exists) write it.
  DWORD previous = port->modemStatus;

  EnterDeviceLock(device);
  if ((PortState(port) & PortOpened) == 0) {
    LeaveDeviceLock(device);
    return;
  }
  // A failed read leaves the old contents, which then shows no change.
  BYTE modem = (BYTE)previous;
  BridgeGetModemStatus(port, &modem);
  port->modemStatus = modem;
  BridgeGetCommStatus(port, port->commStatus);

  DWORD changed = port->modemStatus ^ previous;
  // A ring counts only on its falling edge.
  if (port->modemStatus & MS_RING_ON) changed &= ~MS_RING_ON;
  LeaveDeviceLock(device);

  DWORD events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RING_ON) events |= EV_RING;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  // Outside the device lock: RaiseCommEvents takes the handles' locks.
  ComDevice* comDevice = BoundComDevice(port);
  if (events != 0 && comDevice != NULL) RaiseCommEvents(comDevice, events);
}

}  // namespace

// Runs on the platform's timer thread. pollsRunning covers the poll's work on the port, so that
// StopModemPoll can tell when the last callback has let go of it.
void CALLBACK PollModemStatus(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR dw1,
                              DWORD_PTR dw2) {
  (void)timerId;
  (void)msg;
  (void)dw1;
  (void)dw2;
  BridgePort* port = reinterpret_cast<BridgePort*>(user);
  if (!BridgeTagged(port)) return;
  InterlockedIncrement(&port->pollsRunning);
  PollOnce(port);
  InterlockedDecrement(&port->pollsRunning);
}

void StartModemPoll(BridgePort* port) {
  port->pollTimer =
      timeSetEvent(BridgePollPeriodMs, 0, PollModemStatus, reinterpret_cast<DWORD_PTR>(port),
                   TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
}

void StopModemPoll(BridgePort* port, UINT timer) {
  if (timer != 0) timeKillEvent(timer);
  while (InterlockedExchangeAdd(&port->pollsRunning, 0) != 0) Sleep(1);
}
