// A small stream driver for the device manager's tests, registered as the in-process module
// "fakestream" (prefix "FAK"). It counts every entry, logs their order, can fail Init and Open, and
// can block Read, Write and IOCTL_SERIAL_WAIT_ON_MASK until it gets the process-exit notice on the
// handle. It also checks the device manager's promises: no call on a closed open context, no Close
// while a call on that context is running, no Deinit while any call is running.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ce_os.h"
#include "platform/ce_serial.h"
#include "sim/devmgr/sim_devmgr.h"

namespace fake {

constexpr const char* kModuleName = "fakestream";

// One record per Prefix_Open; kept until Reset so that a late call never touches freed memory.
struct Open {
  DWORD access = 0;
  DWORD shareMode = 0;
  bool closed = false;
  int running = 0;  // calls inside the driver on this context
  int notices = 0;  // IOCTL_PSL_NOTIFY with DLL_PROCESS_EXITING received
};

struct IoCall {
  DWORD code = 0;
  std::vector<BYTE> in;  // copy of the input bytes (inSize of them when inBuffer was given)
  DWORD inSize = 0;
  bool inNull = true;
  DWORD outSize = 0;
  bool outNull = true;
  bool actualNull = true;
};

// Everything Reset restores: the behaviour asked for and the record of what happened.
struct Record {
  // Behaviour.
  bool failInit = false;
  DWORD initError = 0;
  bool failOpen = false;
  DWORD openError = 0;
  bool blockRead = false;
  bool blockWrite = false;
  bool blockWait = false;
  bool blockOpen = false;  // Open waits until releaseOpen
  bool releaseOpen = false;
  int ignoreNotices = 0;  // the first n notices are counted but do not end a blocked call
  int returnDelayMs = 0;  // a blocked call takes this long to return once ended
  DWORD readResult = 0;   // when nonzero, Read fails with (DWORD)-1 and this last error

  // What happened.
  int inits = 0, deinits = 0, opens = 0, closes = 0, reads = 0, writes = 0, seeks = 0, ioctls = 0;
  int powerUps = 0, powerDowns = 0;
  int blocked = 0;               // calls now blocked waiting for a notice
  int running = 0;               // calls inside any entry but Init and Deinit
  int callsOnClosed = 0;         // calls made on a context after its Close
  int closeWhileRunning = 0;     // Close of a context with calls running on it
  int deinitWhileRunning = 0;    // Deinit while calls were running
  std::vector<std::string> log;  // "init", "open", "notice", "close", "deinit", "read-end", ...
  sim::WString initKey;          // the active key path Init was given
  DWORD clientInfoType = 0;
  DWORD clientInfoSize = 0;
  DWORD_PTR clientInfo = 0;
  sim::WString dllThroughDeviceKey;  // "Dll" read through OpenDeviceKey in Init
  std::vector<BYTE> written;
  std::vector<IoCall> ioCalls;  // every IOControl but the notices
  std::deque<Open> opensMade;
};

struct State : Record {
  std::mutex lock;
  std::condition_variable changed;
};

State& S();
// Forgets everything and restores the default behaviour. No device may be active.
void Reset();
sim::StreamModuleEntries Entries();
void Register();

// Calls that reached an open context, Open and Close aside.
inline int Calls() {
  return S().reads + S().writes + S().seeks + S().ioctls;
}

// Waits until pred() holds under the state lock, at most 5 s; false on time-out.
template <typename Pred>
bool WaitFor(Pred pred) {
  std::unique_lock<std::mutex> lock(S().lock);
  return S().changed.wait_for(lock, std::chrono::seconds(5), pred);
}

}  // namespace fake
