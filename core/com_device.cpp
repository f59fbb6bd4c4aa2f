// Port device and open handles: ComInit/ComDeinit, ComOpen/ComClose, the event thread's start and
// stop, RaiseCommEvents.
#include <string.h>

#include "core/com_internal.h"
#include "platform/ce_os.h"

namespace {

// builtStage: how far BuildDevice got, in its order, for the one teardown path (0: nothing).
const DWORD BuiltFirstLocks = 1;
const DWORD BuiltRxTxLocks = 2;
const DWORD BuiltBufferLocks = 3;

const DWORD DefaultThreadPriority = 103;
const DWORD RxMinimumSize = 2048;
const DWORD DcbDefaultFlagsLow = 0x1011;  // fBinary, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE
const DWORD DcbLowFlagsMask = 0x7FFF;     // the 15 defined flag bits; the rest keep their value

void CloseEvent(HANDLE* event) {
  if (*event != NULL) {
    CloseHandle(*event);
    *event = NULL;
  }
}

void ListInsertFront(ComListLink* list, ComListLink* link) {
  link->next = list->next;
  link->prev = list;
  list->next->prev = link;
  list->next = link;
}

void ListRemove(ComListLink* link) {
  link->prev->next = link->next;
  link->next->prev = link->prev;
  link->next = link->prev = NULL;
}

// Links a new handle and, for a data handle with access, makes it owner in the same step, so the
// event handler never sees an owner that is not in the list. Caller holds openListLock.
void LinkHandle(ComDevice* device, ComHandle* handle, bool claimOwner) {
  EnterCriticalSection(&device->listLock);
  ListInsertFront(&device->openList, &handle->link);
  if (claimOwner) StorePointer(&device->owner, handle);
  LeaveCriticalSection(&device->listLock);
}

// Unlinks a handle and forgets it as owner and as the event handler's counted owner: after this the
// handler cannot reach it, so it may be released. Caller holds openListLock.
void UnlinkHandle(ComDevice* device, ComHandle* handle) {
  EnterCriticalSection(&device->listLock);
  if (LoadPointer(&device->owner) == handle) StorePointer(&device->owner, (ComHandle*)NULL);
  if (device->passOwner == handle) device->passOwner = NULL;
  ListRemove(&handle->link);
  LeaveCriticalSection(&device->listLock);
}

// Ends what is still running on a handle that is being closed and waits for it to leave: a wait on
// the handle, and for the owner a read or write. Without this a call blocked on the handle (a read
// without time-outs, a wait for events) would run on in a released record. The signals repeat
// while calls are in flight, since a read that is just starting clears its abort flag and a wait
// that is just starting counts from the aborts before it.
// Caller holds openListLock.
// The event handler's count on the owner is not waited for: a pass can last as long as the port
// keeps delivering, and UnlinkHandle makes the handler forget the handle instead.
LONG CallsInFlight(ComDevice* device, ComHandle* handle) {
  EnterCriticalSection(&device->listLock);
  LONG calls = LoadLong(&handle->busy);
  if (device->passOwner == handle) --calls;
  LeaveCriticalSection(&device->listLock);
  return calls;
}

void DrainHandle(ComDevice* device, ComHandle* handle) {
  while (CallsInFlight(device, handle) > 0) {
    EnterCriticalSection(&handle->waitLock);
    ++handle->abortWait;
    SetEvent(handle->commEvent);
    LeaveCriticalSection(&handle->waitLock);
    if (handle->access & ComAccessReadWrite) {
      FlowSet(device, ReadAborted | WriteAborted);
      SetEvent(device->rxEvent);
      SetEvent(device->txDoneEvent);
    }
    Sleep(1);
  }
}

// Undoes ComOpen step 3 on an unlinked handle.
void ReleaseHandle(ComHandle* handle) {
  DeleteCriticalSection(&handle->waitLock);
  CloseEvent(&handle->commEvent);
  ReleaseBlock(handle);
}

void SetDefaultDcbLocked(ComDevice* device) {
  DCB* dcb = &device->dcb;
  DWORD flags = DcbFlagWord(dcb);
  flags = (flags & ~DcbLowFlagsMask) | DcbDefaultFlagsLow;
  memcpy((BYTE*)dcb + DCB_FLAGS_OFFSET, &flags, sizeof(flags));
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = CBR_9600;
  dcb->XonLim = 512;
  dcb->XoffLim = 128;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->XonChar = 0x11;
  dcb->XoffChar = 0x13;
  dcb->ErrorChar = 0x0D;
  dcb->EofChar = 0x0D;
  dcb->EvtChar = 0x0D;
}

bool UsesEventThread(ComDevice* device) {
  return device->binding != NULL &&
         (device->binding->bindFlags & (BindThreadAtInit | BindThreadAtOpen)) != 0;
}

// The teardown of ComDeinit steps 4 to 8, safe on a partly built device.
void DestroyDevice(ComDevice* device) {
  CloseEvent(&device->wakeEvent);
  CloseEvent(&device->exitEvent);
  CloseEvent(&device->txDoneEvent);
  CloseEvent(&device->txResumeEvent);
  CloseEvent(&device->rxEvent);
  if (device->builtStage >= BuiltRxTxLocks) {
    DeleteCriticalSection(&device->rxLock);
    DeleteCriticalSection(&device->txLock);
  }
  if (device->builtStage >= BuiltBufferLocks) {
    DeleteCriticalSection(&device->rxBufferLock);
    DeleteCriticalSection(&device->txStateLock);
  }
  if (device->builtStage >= BuiltFirstLocks) {
    DeleteCriticalSection(&device->inFlowLock);
    DeleteCriticalSection(&device->settingsLock);
    DeleteCriticalSection(&device->listLock);
    DeleteCriticalSection(&device->openListLock);
  }
  if (device->rxBuffer != NULL) {
    ReleaseBlock(device->rxBuffer);
    device->rxBuffer = NULL;
  }
  if (device->port != NULL && device->binding != NULL && device->binding->ops != NULL)
    device->binding->ops->Deinit(device->port);
  if (device->binding != NULL) ReleaseBlock(device->binding);
  ReleaseBlock(device);
}

DWORD QueryThreadPriority(LPCWSTR activeKey, bool* keyOpened) {
  HKEY key = OpenDeviceKey(activeKey);
  *keyOpened = key != NULL;
  if (key == NULL) return DefaultThreadPriority;
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof(value);
  LONG status = RegQueryValueExW(key, TEXT("Priority256"), NULL, &type, (LPBYTE)&value, &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || size != sizeof(value)) return DefaultThreadPriority;
  return value;
}

// Builds the parts of a zeroed device in order. False at the first part that fails; what was built
// is left for DestroyDevice.
bool BuildDevice(ComDevice* device, LPCWSTR activeKey, const PortOps* ops) {
  device->openList.next = device->openList.prev = &device->openList;
  InitializeCriticalSection(&device->openListLock);
  InitializeCriticalSection(&device->listLock);
  InitializeCriticalSection(&device->settingsLock);
  InitializeCriticalSection(&device->inFlowLock);
  device->builtStage = BuiltFirstLocks;

  device->timeouts.ReadIntervalTimeout = 250;
  device->timeouts.ReadTotalTimeoutMultiplier = 10;
  device->timeouts.ReadTotalTimeoutConstant = 100;

  device->wakeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  device->exitEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  device->txDoneEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  device->txResumeEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  device->rxEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  if (device->wakeEvent == NULL || device->exitEvent == NULL || device->txDoneEvent == NULL ||
      device->txResumeEvent == NULL || device->rxEvent == NULL)
    return false;
  InitializeCriticalSection(&device->rxLock);
  InitializeCriticalSection(&device->txLock);
  device->builtStage = BuiltRxTxLocks;

  bool keyOpened = false;
  device->threadPriority = QueryThreadPriority(activeKey, &keyOpened);
  if (!keyOpened) return false;

  device->binding = (PortBinding*)LocalAlloc(LPTR, sizeof(PortBinding));
  if (device->binding == NULL) return false;
  device->binding->ops = ops;
  device->signature = ComDeviceSignature;

  device->port = ops->Init(activeKey, device, device->binding);
  if (device->port == NULL) return false;

  const DWORD asked = ops->RxBufferSize(device->port);
  // Twice the port's size, at most 0x7FFFFFFF: a huge answer is refused before the doubling, so it
  // cannot wrap to a small buffer.
  if (asked > 0x7FFFFFFFu / 2) return false;
  device->rxSize = 2 * asked > RxMinimumSize ? 2 * asked : RxMinimumSize;
  device->rxBuffer = (BYTE*)LocalAlloc(LPTR, device->rxSize);
  if (device->rxBuffer == NULL) return false;
  InitializeCriticalSection(&device->rxBufferLock);
  InitializeCriticalSection(&device->txStateLock);
  device->builtStage = BuiltBufferLocks;

  return !(device->binding->bindFlags & BindThreadAtInit) || StartEventThread(device);
}

}  // namespace

ComDevice* ComInit(LPCWSTR activeKey, const PortOps* ops) {
  if (ops == NULL) return NULL;
  ComDevice* device = (ComDevice*)LocalAlloc(LPTR, sizeof(ComDevice));
  if (device == NULL) return NULL;
  if (!BuildDevice(device, activeKey, ops)) {
    // The signature goes first, so that a call that still reaches the device refuses it.
    device->signature = 0;
    DestroyDevice(device);
    return NULL;
  }
  ops->PostInit(device->port);
  return device;
}

BOOL ComDeinit(ComDevice* device) {
  if (device == NULL || device->signature != ComDeviceSignature) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (UsesEventThread(device)) StopEventThread(device);

  EnterCriticalSection(&device->openListLock);
  ComListLink* link = device->openList.next;
  while (link != &device->openList) {
    ComListLink* next = link->next;
    ComHandle* handle = HandleOfLink(link);
    if (!ComClose(handle)) {
      // A data handle left while openCount is 0 cannot be closed by ComClose; release it here so
      // that nothing outlives the device.
      UnlinkHandle(device, handle);
      ReleaseHandle(handle);
    }
    link = next;
  }
  LeaveCriticalSection(&device->openListLock);

  device->signature = 0;
  DestroyDevice(device);
  return TRUE;
}

ComHandle* ComOpen(ComDevice* device, DWORD access, DWORD shareMode) {
  if (device == NULL || device->signature != ComDeviceSignature) {
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  if (access & ComAccessBus) access &= ~0xF0000000u;
  const bool wantsAccess = (access & ComAccessReadWrite) != 0;
  const bool busHandle = (access & ComAccessBus) != 0;

  // The whole open runs under openListLock, so the owner test and claim are one step.
  EnterCriticalSection(&device->openListLock);
  if (wantsAccess && LoadPointer(&device->owner) != NULL) {
    LeaveCriticalSection(&device->openListLock);
    SetLastError(ERROR_INVALID_ACCESS);
    return NULL;
  }
  ComHandle* handle = (ComHandle*)LocalAlloc(LPTR, sizeof(ComHandle));
  if (handle == NULL) {
    LeaveCriticalSection(&device->openListLock);
    return NULL;
  }
  handle->device = device;
  handle->access = access;
  handle->shareMode = shareMode;
  handle->commEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  if (handle->commEvent == NULL) {
    ReleaseBlock(handle);
    LeaveCriticalSection(&device->openListLock);
    return NULL;
  }
  InitializeCriticalSection(&handle->waitLock);
  handle->signature = ComHandleSignature;
  LinkHandle(device, handle, wantsAccess);

  if (busHandle || LoadWord(&device->openCount) != 0) {
    if (!busHandle) StoreWord(&device->openCount, LoadWord(&device->openCount) + 1);
    LeaveCriticalSection(&device->openListLock);
    return handle;
  }

  // First data open.
  const PortOps* ops = Ops(device);
  bool threadStarted = false;
  bool opened = false;
  if (device->binding->bindFlags & BindThreadAtOpen) {
    threadStarted = StartEventThread(device) != FALSE;
  } else {
    threadStarted = true;  // nothing to start
  }
  if (threadStarted) {
    EnterCriticalSection(&device->settingsLock);
    SetDefaultDcbLocked(device);
    LeaveCriticalSection(&device->settingsLock);
    device->rxDiscarded = 0;
    InterlockedExchange(&device->commErrors, 0);
    device->rxPortReported = 0;
    device->rxTotal = 0;
    EnterCriticalSection(&device->txStateLock);
    device->txTotal = 0;
    StoreWord(&device->outQueue, 0);
    LeaveCriticalSection(&device->txStateLock);
    // SoftFlow goes too: the default DCB has neither XON/XOFF direction, and stripping received
    // XON/XOFF bytes under settings that do not ask for it would lose data.
    FlowClear(device, SoftFlow | TxHeldByXoff | XoffSent | DtrFlowOff | RtsFlowOff);
    opened = ops->Open(device->port) != FALSE;
  }
  if (opened) {
    DCB dcb;
    COMMTIMEOUTS timeouts;
    SnapshotDcb(device, &dcb);
    SnapshotTimeouts(device, &timeouts);
    ops->SetLineSettings(device->port, &dcb);
    ops->SetTimeouts(device->port, &timeouts);
    ops->Purge(device->port, PURGE_RXCLEAR);
    // The event thread may already be storing bytes, so the buffer is emptied from the consumer's
    // side (rxRead moves up to rxWrite) instead of resetting both indices to 0.
    RxBufferDiscard(device);
    HANDLE thread = LoadPointer(&device->thread);
    if (UsesEventThread(device) && thread != NULL)
      CeSetThreadPriority(thread, (int)device->threadPriority);
    StoreWord(&device->openCount, 1);
    LeaveCriticalSection(&device->openListLock);
    return handle;
  }

  // The open failed: nothing of the handle survives, and an event thread started for it stops.
  UnlinkHandle(device, handle);
  if (device->binding->bindFlags & BindThreadAtOpen) StopEventThread(device);
  LeaveCriticalSection(&device->openListLock);
  ReleaseHandle(handle);
  SetLastError(ERROR_OPEN_FAILED);
  return NULL;
}

BOOL ComClose(ComHandle* handle) {
  if (!HandleValid(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ComDevice* device = handle->device;
  EnterCriticalSection(&device->openListLock);
  if (IsBusHandle(handle)) {
    UnlinkHandle(device, handle);
    ReleaseHandle(handle);
    LeaveCriticalSection(&device->openListLock);
    return TRUE;
  }
  if (LoadWord(&device->openCount) == 0) {
    LeaveCriticalSection(&device->openListLock);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DrainHandle(device, handle);
  StoreWord(&device->openCount, LoadWord(&device->openCount) - 1);
  if (LoadWord(&device->openCount) == 0) {
    HANDLE thread = LoadPointer(&device->thread);
    if (UsesEventThread(device) && thread != NULL)
      SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);
    Ops(device)->Close(device->port);
    if (device->binding->bindFlags & BindThreadAtOpen) StopEventThread(device);
  }
  UnlinkHandle(device, handle);
  ReleaseHandle(handle);
  LeaveCriticalSection(&device->openListLock);
  return TRUE;
}

DWORD ComSeek(ComHandle*, LONG, DWORD) {
  return (DWORD)-1;
}

DWORD ComPowerUp(ComDevice* device) {
  if (device == NULL || device->signature != ComDeviceSignature) return 0;
  return Ops(device)->PowerOn(device->port);
}

DWORD ComPowerDown(ComDevice* device) {
  if (device == NULL || device->signature != ComDeviceSignature) return 0;
  return Ops(device)->PowerOff(device->port);
}

BOOL StartEventThread(ComDevice* device) {
  ResetEvent(device->wakeEvent);
  FlowClear(device, StopThread);
  StorePointer(&device->thread, (HANDLE)NULL);
  HANDLE thread = CreateThread(NULL, 0, EventThreadProc, device, 0, NULL);
  StorePointer(&device->thread, thread);
  return thread != NULL;
}

BOOL StopEventThread(ComDevice* device) {
  HANDLE thread = LoadPointer(&device->thread);
  if (thread == NULL) return TRUE;
  CeSetThreadPriority(thread, CeGetThreadPriority(GetCurrentThread()));
  FlowSet(device, StopThread);
  SetEvent(device->wakeEvent);
  if (WaitForSingleObject(thread, 3000) == WAIT_TIMEOUT) TerminateThread(thread, 0);
  CloseHandle(thread);
  StorePointer(&device->thread, (HANDLE)NULL);
  return TRUE;
}

// The walk runs under listLock, which open and close hold only around link and unlink: a handle
// met here is linked and not yet released, and no wait of any kind happens under the lock, so a
// close that stops the event thread never waits on this raise.
void RaiseCommEvents(ComDevice* device, DWORD bits) {
  if (device == NULL || device->signature != ComDeviceSignature) return;
  if (LoadWord(&device->openCount) == 0) {
    // A raiser that keeps finding the port closed (a poll or an event pass racing the last close)
    // is slowed down rather than left to spin.
    Sleep(10);
    SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  if ((bits & LoadWord(&device->eventMaskUnion)) == 0) return;
  EnterCriticalSection(&device->listLock);
  for (ComListLink* link = device->openList.next; link != &device->openList; link = link->next) {
    ComHandle* handle = HandleOfLink(link);
    EnterCriticalSection(&handle->waitLock);
    if (bits & handle->eventMask) {
      BitsChange(&handle->eventState, bits, 0);
      SetEvent(handle->commEvent);
    }
    LeaveCriticalSection(&handle->waitLock);
  }
  LeaveCriticalSection(&device->listLock);
}
