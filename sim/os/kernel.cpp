// Kernel objects of the simulated OS: events, threads, waits, critical sections, Sleep, the tick
// count, last error, permissions and pointer checks.
//
// One kernel mutex (Kernel::lock) protects the handle table, every object's signal state and
// waiter list, every critical section and every thread record's mutable fields. It inherits
// priority (PiMutex), so that under device scheduling a thread waiting for it lends its level to
// the holder. A blocked thread sleeps on its own ThreadRec::parker without the kernel mutex, so
// whoever satisfies its wait, frees its lock or terminates it wakes exactly that thread (an
// auto-reset event's set wakes at most one waiter); sets and leaves do so once they have left the
// kernel mutex, so that the woken thread does not run into it. Waits and sets do not allocate: a
// wait's links into the objects' waiter lists live on the waiting thread's stack. A satisfied wait
// returns without taking the kernel mutex again. No thread ever waits for another by spinning:
// under strict priorities the one waited for might never run again.
//
// Critical sections inherit priority as the platform's kernel does it: a thread that blocks on a
// section lends its rank to the owner (and on along the chain, when the owner itself waits for a
// section) until the owner leaves the sections it is waited for in. A thread's rank is its
// 256-level priority, or sched::kSimulationRank for the simulation's own threads; under device
// scheduling every change of rank moves the host thread to its level (sim/os/sched.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/os/cpu_account.h"
#include "sim/os/host_sync.h"
#include "sim/os/os_internal.h"
#include "sim/os/sched.h"
#include "sim/os/sim_os.h"
#include "sim/os/wake_count.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using os_detail::Parker;
using os_detail::PiMutex;

constexpr uintptr_t kTagShift = sizeof(uintptr_t) * 8 - 8;
constexpr uintptr_t kKernelTag = uintptr_t{0x4B} << kTagShift;
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
constexpr DWORD kMaxWaitObjects = 64;
constexpr int kPriorityErrorReturn = 0x7FFFFFFF;
constexpr DWORD kDefaultPermissions = 0x00000001u;
constexpr uint32_t kCsMagic = 0x5343564Bu;

struct Waiter;
struct ThreadRec;

// One object's place in a blocked wait: a node of the object's waiter list. Filled in only when
// the wait blocks (a wait that need not block touches none of them).
struct WaitLink {
  Waiter* waiter;
  WaitLink* prev;
  WaitLink* next;
};

struct KObject {
  enum class Kind { Event, Thread };
  Kind kind = Kind::Event;
  bool manualReset = true;  // thread objects stay signalled once ended
  bool signalled = false;
  WaitLink* first = nullptr;  // blocked waits, in arrival order
  WaitLink* last = nullptr;
  // Blocked waits that hold this object. A handle closed meanwhile leaves its reference in
  // `closedWhileWaited`, dropped when the last of them leaves, as the platform keeps an object
  // alive while a wait holds it.
  unsigned pins = 0;
  std::shared_ptr<KObject> closedWhileWaited;
  std::weak_ptr<ThreadRec> thread;
  // A created thread's record, kept while its handle is open so that the handle still answers
  // (exit code, priority) after the thread has ended. CloseHandle drops it, ending the cycle.
  std::shared_ptr<ThreadRec> owner;
};

// One WaitFor* call; lives on the waiting thread's stack. Objects are plain pointers: the handle
// table keeps them alive while the call holds the kernel mutex, and pins while it is blocked.
struct Waiter {
  ThreadRec* rec = nullptr;
  DWORD count = 0;
  bool waitAll = false;
  bool linked = false;
  DWORD result = WAIT_TIMEOUT;
  std::atomic<bool> done{false};  // set under the kernel mutex, read by the waiter without it
  KObject* objects[kMaxWaitObjects];
  WaitLink links[kMaxWaitObjects];
};

struct CsImpl;

// A thread record is shared: a waker that has decided a wake-up under the kernel mutex keeps the
// record alive until it has carried it out (see WakeAfterUnlock), however soon the thread ends.
struct ThreadRec : std::enable_shared_from_this<ThreadRec> {
  DWORD id = 0;
  Parker parker;
  std::shared_ptr<KObject> object;
  std::atomic<bool> terminated{false};
  bool created = false;  // made by CreateThread
  bool ended = false;
  bool simulation = false;  // one of the simulation's own threads (host stack, models, timer)
  DWORD exitCode = STILL_ACTIVE;
  int priority256 = CE_THREAD_PRIO_256_NORMAL;
  DWORD permissions = kDefaultPermissions;
  // Scheduling: the rank in force (own or inherited), the host thread while it runs (0 once it has
  // ended), the section it is blocked on and the sections it owns.
  int rank = CE_THREAD_PRIO_256_NORMAL;
  int hostThread = 0;
  CsImpl* blockedOn = nullptr;
  CsImpl* firstHeld = nullptr;
};

struct CsImpl {
  DWORD owner = 0;  // thread id, 0 when free
  unsigned count = 0;
  std::vector<ThreadRec*> waiters;
  // The owner's record while it runs (null when free, or abandoned by an owner that ended), and
  // the links of its list of owned sections.
  ThreadRec* ownerRec = nullptr;
  CsImpl* prevHeld = nullptr;
  CsImpl* nextHeld = nullptr;
};

struct Kernel {
  PiMutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KObject>> handles;
  uintptr_t nextSerial = 1;
  DWORD nextThreadId = 0x100;
  size_t liveThreads = 0;
  size_t parkedThreads = 0;
  std::unordered_map<void*, std::unique_ptr<CsImpl>> sections;
  std::vector<std::pair<uintptr_t, uintptr_t>> badRanges;  // [first, last]
  std::atomic<int64_t> tickOffset{0};
  bool inheritance = true;  // priority inheritance on critical sections (a test can turn it off)
};

// Never destroyed: driver threads may still call in while the process exits.
Kernel& K() {
  static Kernel* kernel = new Kernel;
  return *kernel;
}

// Ends the stack unwinding that ExitThread starts in a thread made by CreateThread.
struct ThreadExit {
  DWORD code;
};

// The calling thread's record, kept alive by the thread itself (and by its object's users).
struct ThreadSlot {
  std::shared_ptr<ThreadRec> rec;
  ~ThreadSlot();
};
thread_local ThreadSlot tSlot;
thread_local DWORD tLastError = 0;

std::shared_ptr<ThreadRec> NewRecLocked() {
  auto rec = std::make_shared<ThreadRec>();
  rec->id = K().nextThreadId++;
  rec->object = std::make_shared<KObject>();
  rec->object->kind = KObject::Kind::Thread;
  rec->object->thread = rec;
  return rec;
}

// The calling thread's own record, made at its first call. A thread the simulation did not create
// keeps the host level it has (its creator's, or the simulation's own) until its priority is set.
void NewSelfLocked() {
  tSlot.rec = NewRecLocked();
  tSlot.rec->hostThread = sched::CurrentHostThread();
  if (sched::IsSimulationThread()) {
    tSlot.rec->simulation = true;
    tSlot.rec->rank = sched::kSimulationRank;
  }
}

ThreadRec& SelfLocked() {
  if (!tSlot.rec) NewSelfLocked();
  return *tSlot.rec;
}

ThreadRec& Self() {
  if (!tSlot.rec) {
    std::lock_guard<PiMutex> guard(K().lock);
    NewSelfLocked();
  }
  return *tSlot.rec;
}

// ---- Ranks and priority inheritance

int OwnRank(const ThreadRec& rec) {
  return rec.simulation ? sched::kSimulationRank : rec.priority256;
}

class WakeAfterUnlock;
thread_local WakeAfterUnlock* tWakes = nullptr;
bool DeferOwnRank();

// Puts the thread's host thread at the level of its rank (under device scheduling). A thread that
// changes its own rank while it frees others (a leave that drops what it inherited) does so only
// once they are woken: lowered while still holding the kernel mutex, before the thread it hands
// the section to is awake, it would be preempted with nobody to lend it a level.
void ApplyRankLocked(ThreadRec& rec) {
  if (rec.hostThread == 0 || rec.simulation) return;
  if (&rec == tSlot.rec.get() && DeferOwnRank()) return;
  sched::SetRank(rec.hostThread, rec.rank);
}

// Recomputes the rank of the thread from its own priority and the waiters of the sections it owns,
// and passes a change on to the owner of the section it is blocked on. The chain is bounded: a
// cycle would be a deadlock of sections, which the platform does not resolve either.
void UpdateRankLocked(ThreadRec& start) {
  ThreadRec* rec = &start;
  for (int depth = 0; rec != nullptr && depth < 32; ++depth) {
    int rank = OwnRank(*rec);
    if (K().inheritance) {
      for (CsImpl* held = rec->firstHeld; held != nullptr; held = held->nextHeld) {
        for (ThreadRec* waiter : held->waiters) {
          if (!waiter->terminated && waiter->rank < rank) rank = waiter->rank;
        }
      }
    }
    if (rank == rec->rank) return;
    rec->rank = rank;
    ApplyRankLocked(*rec);
    rec = rec->blockedOn != nullptr ? rec->blockedOn->ownerRec : nullptr;
  }
}

void LinkHeldLocked(CsImpl& impl, ThreadRec& owner) {
  impl.ownerRec = &owner;
  impl.prevHeld = nullptr;
  impl.nextHeld = owner.firstHeld;
  if (owner.firstHeld != nullptr) owner.firstHeld->prevHeld = &impl;
  owner.firstHeld = &impl;
}

void UnlinkHeldLocked(CsImpl& impl) {
  ThreadRec* owner = impl.ownerRec;
  if (owner == nullptr) return;
  (impl.prevHeld ? impl.prevHeld->nextHeld : owner->firstHeld) = impl.nextHeld;
  if (impl.nextHeld != nullptr) impl.nextHeld->prevHeld = impl.prevHeld;
  impl.ownerRec = nullptr;
  impl.prevHeld = impl.nextHeld = nullptr;
}

// The thread is ending: the sections it still owns stay owned by its id (abandoned, as on the
// platform) but no longer by its record, and its host thread is no longer there to be moved.
void ForgetRecordLocked(ThreadRec& rec) {
  while (rec.firstHeld != nullptr) UnlinkHeldLocked(*rec.firstHeld);
  rec.hostThread = 0;
}

void SignalObjectLocked(KObject& object);

void EndThreadLocked(ThreadRec& rec, DWORD code) {
  if (rec.ended) return;
  rec.ended = true;
  rec.exitCode = code;
  SignalObjectLocked(*rec.object);
}

// A thread that was not made by CreateThread ends here; its handle (if any) becomes signalled.
// A waker that decided to wake it holds its record until the wake-up is carried out.
ThreadSlot::~ThreadSlot() {
  if (!rec) return;
  std::lock_guard<PiMutex> guard(K().lock);
  if (!rec->created && !rec->terminated) EndThreadLocked(*rec, 0);
  ForgetRecordLocked(*rec);
}

// Sets and leaves wake the threads they free after the kernel mutex is left, so that a woken
// thread does not at once run into the mutex its waker still holds. Declared before the lock
// guard: its destructor runs after the guard's.
class WakeAfterUnlock {
 public:
  WakeAfterUnlock();
  ~WakeAfterUnlock();
  WakeAfterUnlock(const WakeAfterUnlock&) = delete;
  WakeAfterUnlock& operator=(const WakeAfterUnlock&) = delete;
  bool Add(ThreadRec& rec) {
    if (count_ == kMax) return false;
    recs_[count_++] = rec.shared_from_this();  // the record outlives the wake-up
    return true;
  }
  void DeferOwnRank() { ownRank_ = true; }

 private:
  static constexpr unsigned kMax = 8;
  WakeAfterUnlock* outer_;
  std::shared_ptr<ThreadRec> recs_[kMax];
  unsigned count_ = 0;
  bool ownRank_ = false;  // the calling thread's level is to follow its rank after the wakes
};

bool DeferOwnRank() {
  if (tWakes == nullptr) return false;
  tWakes->DeferOwnRank();
  return true;
}

WakeAfterUnlock::WakeAfterUnlock() : outer_(tWakes) {
  tWakes = this;
}

WakeAfterUnlock::~WakeAfterUnlock() {
  tWakes = outer_;
  for (unsigned i = 0; i < count_; ++i) {
    recs_[i]->parker.Unpark();
    recs_[i].reset();
  }
  if (ownRank_) {
    std::lock_guard<PiMutex> guard(K().lock);
    ApplyRankLocked(*tSlot.rec);  // the rank in force now, whatever changed it meanwhile
  }
}

// Wakes a thread whose wait or section the caller, holding the kernel mutex, has just granted.
void WakeLocked(ThreadRec& rec) {
  if (tWakes == nullptr || !tWakes->Add(rec)) rec.parker.Unpark();
}

[[noreturn]] void ParkLocked(std::unique_lock<PiMutex>& held) {
  ++K().parkedThreads;
  held.unlock();
  os_detail::Park();
}

// ---- Handles

HANDLE NewHandleLocked(std::shared_ptr<KObject> object) {
  uintptr_t value = kKernelTag | K().nextSerial++;
  K().handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

KObject* LookupLocked(HANDLE handle) {
  if (handle == kCurrentThread) return SelfLocked().object.get();
  auto it = K().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == K().handles.end()) return nullptr;
  return it->second.get();
}

std::shared_ptr<ThreadRec> LookupThreadLocked(HANDLE handle) {
  KObject* object = LookupLocked(handle);
  if (object == nullptr || object->kind != KObject::Kind::Thread) return nullptr;
  return object->thread.lock();
}

// ---- Waits

bool AvailableLocked(const KObject& object) {
  return object.signalled;
}

void ConsumeLocked(KObject& object) {
  if (!object.manualReset) object.signalled = false;
}

// Takes the waiter out of every waiter list it is in and lets go of its objects. An object whose
// handle was closed meanwhile goes here once no wait holds it. (An object that is being signalled
// always has another owner, its handle or its thread, so no walk of a list loses it.)
void UnlinkWaiterLocked(Waiter& waiter) {
  if (!waiter.linked) return;
  waiter.linked = false;
  for (DWORD i = 0; i < waiter.count; ++i) {
    KObject& object = *waiter.objects[i];
    WaitLink& link = waiter.links[i];
    (link.prev ? link.prev->next : object.first) = link.next;
    (link.next ? link.next->prev : object.last) = link.prev;
    link.prev = link.next = nullptr;
    if (--object.pins == 0 && object.closedWhileWaited) {
      std::shared_ptr<KObject> gone = std::move(object.closedWhileWaited);
    }
  }
}

void LinkWaiterLocked(Waiter& waiter) {
  for (DWORD i = 0; i < waiter.count; ++i) {
    KObject& object = *waiter.objects[i];
    WaitLink& link = waiter.links[i];
    link.waiter = &waiter;
    link.next = nullptr;
    link.prev = object.last;
    (object.last ? object.last->next : object.first) = &link;
    object.last = &link;
    ++object.pins;
  }
  waiter.linked = true;
}

// Satisfies the waiter if it can be: takes the signals it consumes and wakes it.
bool TrySatisfyLocked(Waiter& waiter) {
  // A terminated thread never takes a signal: it belongs to the next waiter.
  if (waiter.done.load(std::memory_order_relaxed) || waiter.rec->terminated) return false;
  if (waiter.waitAll) {
    for (DWORD i = 0; i < waiter.count; ++i) {
      if (!AvailableLocked(*waiter.objects[i])) return false;
    }
    for (DWORD i = 0; i < waiter.count; ++i) ConsumeLocked(*waiter.objects[i]);
    waiter.result = WAIT_OBJECT_0;
  } else {
    DWORD i = 0;
    while (i < waiter.count && !AvailableLocked(*waiter.objects[i])) ++i;
    if (i == waiter.count) return false;
    ConsumeLocked(*waiter.objects[i]);
    waiter.result = WAIT_OBJECT_0 + i;
  }
  const bool blocked = waiter.linked;
  ThreadRec* rec = waiter.rec;
  UnlinkWaiterLocked(waiter);
  // Once done is set the waiter may return and its record of the wait be gone (a stale token can
  // wake it early). Its thread record stays: a thread takes the kernel mutex before it ends, and
  // the wake-up holds the record.
  waiter.done.store(true, std::memory_order_release);
  if (blocked) WakeLocked(*rec);
  return true;
}

// The object has just become signalled: frees waiters in arrival order while it stays so. An
// auto-reset object is consumed by the first waiter it satisfies, so it wakes at most one.
void SignalObjectLocked(KObject& object) {
  object.signalled = true;
  WaitLink* link = object.first;
  while (link != nullptr && object.signalled) {
    if (TrySatisfyLocked(*link->waiter)) {
      link = object.first;  // the satisfied wait's links are gone: start again from the head
    } else {
      link = link->next;
    }
  }
}

// Called with the kernel mutex held; may return with it released.
DWORD WaitLocked(std::unique_lock<PiMutex>& held, Waiter& waiter, DWORD milliseconds) {
  ThreadRec& self = SelfLocked();
  if (self.terminated) ParkLocked(held);
  waiter.rec = &self;
  if (TrySatisfyLocked(waiter)) return waiter.result;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  LinkWaiterLocked(waiter);
  held.unlock();
  const bool forever = milliseconds == INFINITE;
  Clock::time_point deadline;
  if (!forever) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  bool timedOut = false;
  // Counted once per blocked wait: a park that returns on a stale token did not sleep.
  os_detail::NoteBlocked();
  while (!waiter.done.load(std::memory_order_acquire) && !self.terminated) {
    if (forever) {
      self.parker.Park();
    } else if (!self.parker.ParkUntil(deadline)) {
      timedOut = true;
      break;
    }
  }
  os_detail::NoteWoken(timedOut);
  if (!timedOut && !self.terminated) return waiter.result;  // done, seen with acquire
  held.lock();
  // Terminated while blocked: park here, even if the wait was satisfied just before.
  UnlinkWaiterLocked(waiter);
  if (self.terminated) ParkLocked(held);
  return waiter.done.load(std::memory_order_relaxed) ? waiter.result : WAIT_TIMEOUT;
}

DWORD FailWait(DWORD error) {
  tLastError = error;
  return WAIT_FAILED;
}

// ---- Critical sections

CsImpl* SectionLocked(const CRITICAL_SECTION* cs) {
  if (cs == nullptr || cs->reserved[3] != kCsMagic) return nullptr;
  auto it = K().sections.find(cs->impl);
  return it == K().sections.end() ? nullptr : it->second.get();
}

CsImpl& SectionOrDie(const CRITICAL_SECTION* cs, const char* what) {
  CsImpl* impl = SectionLocked(cs);
  if (impl == nullptr) {
    std::fprintf(stderr, "%s: critical section %p is not initialised\n", what,
                 static_cast<const void*>(cs));
    std::abort();
  }
  return *impl;
}

void TakeSectionLocked(CRITICAL_SECTION* cs, CsImpl& impl, ThreadRec& self) {
  impl.owner = self.id;
  impl.count = 1;
  cs->reserved[0] = self.id;
  cs->reserved[1] = 1;
  LinkHeldLocked(impl, self);
}

// Leaving a section that threads wait for hands it to the waiter of highest rank (the first to
// arrive among equals), so a thread that leaves and re-enters in a loop cannot starve the others.
// The order is this simulation's choice, after the platform's priority scheduling: Win32 promises
// waiters no order (a run on Windows gave another one), and the driver relies on none. The leaving
// owner drops what it inherited through this section; the new one inherits from those still
// waiting.
void HandOffSectionLocked(CRITICAL_SECTION* cs, CsImpl& impl) {
  ThreadRec* previous = impl.ownerRec;
  UnlinkHeldLocked(impl);
  if (previous != nullptr && previous->rank != OwnRank(*previous)) UpdateRankLocked(*previous);
  ThreadRec* next = nullptr;
  for (ThreadRec* waiter : impl.waiters) {
    if (waiter->terminated) continue;
    if (next == nullptr || waiter->rank < next->rank) next = waiter;
  }
  if (next == nullptr) {
    impl.owner = 0;
    impl.count = 0;
    cs->reserved[0] = 0;
    cs->reserved[1] = 0;
    for (ThreadRec* waiter : impl.waiters) WakeLocked(*waiter);
    return;
  }
  impl.waiters.erase(std::find(impl.waiters.begin(), impl.waiters.end(), next));
  next->blockedOn = nullptr;
  TakeSectionLocked(cs, impl, *next);
  if (!impl.waiters.empty()) UpdateRankLocked(*next);
  WakeLocked(*next);
}

bool InBadRangeLocked(uintptr_t first, uintptr_t last) {
  for (const auto& range : K().badRanges) {
    if (first <= range.second && range.first <= last) return true;
  }
  return false;
}

BOOL IsBadRange(const void* p, UINT_PTR bytes) {
  if (bytes == 0) return FALSE;
  uintptr_t first = reinterpret_cast<uintptr_t>(p);
  if (first < 0x10000) return TRUE;
  uintptr_t last = first + (bytes - 1);
  if (last < first) return TRUE;
  std::lock_guard<PiMutex> guard(K().lock);
  return InBadRangeLocked(first, last) ? TRUE : FALSE;
}

// ---- Threads

struct StartInfo {
  std::shared_ptr<ThreadRec> rec;
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

void RunThread(StartInfo info) {
  os_detail::CpuAccount account(ThreadKind::Created, reinterpret_cast<const void*>(info.routine));
  tSlot.rec = info.rec;
  ThreadRec& self = *info.rec;
  {
    // From here the thread runs at its own level, not its creator's (a priority set before it
    // started is in its record).
    std::lock_guard<PiMutex> guard(K().lock);
    self.hostThread = sched::CurrentHostThread();
    ApplyRankLocked(self);
  }
  DWORD code = 0;
  if (!self.terminated) {
    try {
      code = info.routine(info.parameter);
    } catch (const ThreadExit& exit) {
      code = exit.code;
    }
  }
  std::lock_guard<PiMutex> guard(K().lock);
  // A terminated thread was already counted out and its handle signalled.
  if (self.terminated) return;
  --K().liveThreads;
  EndThreadLocked(self, code);
}

int Priority8From256(int priority256) {
  if (priority256 < 248) return THREAD_PRIORITY_TIME_CRITICAL;
  return priority256 - 248;
}

}  // namespace

namespace os_detail {

void SetError(DWORD error) {
  tLastError = error;
}

bool Terminated() {
  return tSlot.rec && tSlot.rec->terminated.load(std::memory_order_acquire);
}

void Checkpoint() {
  if (!Terminated()) return;
  std::unique_lock<PiMutex> held(K().lock);
  ParkLocked(held);
}

[[noreturn]] void Park() {
  static std::mutex* mutex = new std::mutex;
  static std::condition_variable* never = new std::condition_variable;
  std::unique_lock<std::mutex> held(*mutex);
  for (;;) never->wait(held);
}

}  // namespace os_detail

// ---- Test-facing interface

size_t LiveThreadCount() {
  std::lock_guard<PiMutex> guard(K().lock);
  return K().liveThreads;
}

size_t ParkedThreadCount() {
  std::lock_guard<PiMutex> guard(K().lock);
  return K().parkedThreads;
}

size_t KernelHandleCount() {
  std::lock_guard<PiMutex> guard(K().lock);
  return K().handles.size();
}

DWORD CriticalSectionOwner(const CRITICAL_SECTION* cs) {
  std::lock_guard<PiMutex> guard(K().lock);
  CsImpl* impl = SectionLocked(cs);
  return impl == nullptr ? 0 : impl->owner;
}

void SetPriorityInheritance(bool on) {
  std::lock_guard<PiMutex> guard(K().lock);
  K().inheritance = on;
}

bool DeviceScheduling() {
  return sched::DeviceScheduling();
}

bool KernelWaitsCounted() {
  return true;
}

void SetBadPointerRange(const void* p, size_t bytes) {
  if (bytes == 0) return;
  uintptr_t first = reinterpret_cast<uintptr_t>(p);
  uintptr_t last = first + (bytes - 1);
  if (last < first) last = UINTPTR_MAX;
  std::lock_guard<PiMutex> guard(K().lock);
  K().badRanges.emplace_back(first, last);
}

void ClearBadPointerRanges() {
  std::lock_guard<PiMutex> guard(K().lock);
  K().badRanges.clear();
}

namespace {
int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}
}  // namespace

void SetTickCount(DWORD value) {
  K().tickOffset.store(static_cast<int64_t>(value) - SteadyMs());
}

}  // namespace sim

using namespace sim;
using sim::os_detail::Checkpoint;

// ---- Last error, permissions, pointer checks

extern "C" void SetLastError(DWORD dwErrCode) {
  Checkpoint();
  tLastError = dwErrCode;
}

extern "C" DWORD GetLastError(void) {
  Checkpoint();
  return tLastError;
}

extern "C" DWORD GetCurrentPermissions(void) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  return SelfLocked().permissions;
}

extern "C" DWORD SetProcPermissions(DWORD permissions) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  ThreadRec& self = SelfLocked();
  DWORD old = self.permissions;
  self.permissions = permissions;
  return old;
}

extern "C" BOOL IsBadReadPtr(const void* p, UINT_PTR bytes) {
  Checkpoint();
  return IsBadRange(p, bytes);
}

extern "C" BOOL IsBadWritePtr(LPVOID p, UINT_PTR bytes) {
  Checkpoint();
  return IsBadRange(p, bytes);
}

// ---- Critical sections

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  Checkpoint();
  if (cs == nullptr) return;
  auto impl = std::make_unique<CsImpl>();
  std::lock_guard<PiMutex> guard(K().lock);
  cs->impl = impl.get();
  cs->reserved[0] = 0;
  cs->reserved[1] = 0;
  cs->reserved[2] = 0;
  cs->reserved[3] = kCsMagic;
  K().sections.emplace(cs->impl, std::move(impl));
}

extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  CsImpl* impl = SectionLocked(cs);
  if (impl == nullptr) return;
  ThreadRec* owner = impl->ownerRec;
  UnlinkHeldLocked(*impl);
  if (owner != nullptr) UpdateRankLocked(*owner);
  K().sections.erase(cs->impl);
  cs->impl = nullptr;
  cs->reserved[0] = 0;
  cs->reserved[1] = 0;
  cs->reserved[3] = 0;
}

extern "C" void EnterCriticalSection(LPCRITICAL_SECTION cs) {
  Checkpoint();
  std::unique_lock<PiMutex> held(K().lock);
  ThreadRec& self = SelfLocked();
  CsImpl* impl = &SectionOrDie(cs, "EnterCriticalSection");
  if (impl->owner == self.id) {
    cs->reserved[1] = ++impl->count;
    return;
  }
  if (impl->owner != 0) {
    impl->waiters.push_back(&self);
    self.blockedOn = impl;
    if (impl->ownerRec != nullptr) UpdateRankLocked(*impl->ownerRec);
    os_detail::NoteSectionBlocked();
    while (impl->owner != self.id && impl->owner != 0 && !self.terminated) {
      held.unlock();
      self.parker.Park();
      held.lock();
      impl = &SectionOrDie(cs, "EnterCriticalSection");
    }
    self.blockedOn = nullptr;
    os_detail::NoteSectionWoken();
    if (impl->owner != self.id) {
      impl->waiters.erase(std::find(impl->waiters.begin(), impl->waiters.end(), &self));
      // What the owner inherited from this thread goes with it.
      if (impl->ownerRec != nullptr) UpdateRankLocked(*impl->ownerRec);
    }
    if (self.terminated) {
      // Handed over just as the thread was terminated: pass the section on.
      if (impl->owner == self.id) HandOffSectionLocked(cs, *impl);
      ParkLocked(held);
    }
    if (impl->owner == self.id) return;  // handed over by the leaving owner
  }
  TakeSectionLocked(cs, *impl, self);
}

extern "C" BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  ThreadRec& self = SelfLocked();
  CsImpl& impl = SectionOrDie(cs, "TryEnterCriticalSection");
  if (impl.owner == self.id) {
    cs->reserved[1] = ++impl.count;
    return TRUE;
  }
  if (impl.owner != 0) return FALSE;
  TakeSectionLocked(cs, impl, self);
  return TRUE;
}

extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  Checkpoint();
  WakeAfterUnlock wakes;
  std::lock_guard<PiMutex> guard(K().lock);
  ThreadRec& self = SelfLocked();
  CsImpl& impl = SectionOrDie(cs, "LeaveCriticalSection");
  if (impl.owner != self.id || impl.count == 0) {
    std::fprintf(stderr, "LeaveCriticalSection: %p is not owned by thread %u\n",
                 static_cast<void*>(cs), self.id);
    std::abort();
  }
  cs->reserved[1] = --impl.count;
  if (impl.count != 0) return;
  HandOffSectionLocked(cs, impl);
}

// ---- Events and waits

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                               BOOL initialState, LPCWSTR name) {
  Checkpoint();
  (void)attributes;
  if (name != nullptr && name[0] != 0) {
    // Named events are not supported by the simulation.
    tLastError = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  auto object = std::make_shared<KObject>();
  object->kind = KObject::Kind::Event;
  object->manualReset = manualReset != FALSE;
  object->signalled = initialState != FALSE;
  std::lock_guard<PiMutex> guard(K().lock);
  return NewHandleLocked(std::move(object));
}

extern "C" BOOL EventModify(HANDLE event, DWORD func) {
  Checkpoint();
  WakeAfterUnlock wakes;
  std::lock_guard<PiMutex> guard(K().lock);
  KObject* object = LookupLocked(event);
  if (object == nullptr || object->kind != KObject::Kind::Event) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  switch (func) {
    case EVENT_SET:
      SignalObjectLocked(*object);
      return TRUE;
    case EVENT_RESET:
      object->signalled = false;
      return TRUE;
    case EVENT_PULSE:
      SignalObjectLocked(*object);
      object->signalled = false;
      return TRUE;
    default:
      tLastError = ERROR_INVALID_PARAMETER;
      return FALSE;
  }
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Checkpoint();
  std::unique_lock<PiMutex> held(K().lock);
  KObject* object = LookupLocked(handle);
  if (object == nullptr) return FailWait(ERROR_INVALID_HANDLE);
  Waiter waiter;
  waiter.objects[0] = object;
  waiter.count = 1;
  return WaitLocked(held, waiter, milliseconds);
}

extern "C" DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                        DWORD milliseconds) {
  Checkpoint();
  if (count == 0 || count > kMaxWaitObjects || handles == nullptr) {
    return FailWait(ERROR_INVALID_PARAMETER);
  }
  std::unique_lock<PiMutex> held(K().lock);
  Waiter waiter;
  waiter.waitAll = waitAll != FALSE;
  for (DWORD i = 0; i < count; ++i) {
    KObject* object = LookupLocked(handles[i]);
    if (object == nullptr) return FailWait(ERROR_INVALID_HANDLE);
    if (waiter.waitAll && std::find(waiter.objects, waiter.objects + waiter.count, object) !=
                              waiter.objects + waiter.count) {
      return FailWait(ERROR_INVALID_PARAMETER);
    }
    waiter.objects[waiter.count++] = object;
  }
  return WaitLocked(held, waiter, milliseconds);
}

extern "C" BOOL CloseHandle(HANDLE handle) {
  Checkpoint();
  if (handle == kCurrentThread) return TRUE;
  std::lock_guard<PiMutex> guard(K().lock);
  auto it = K().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == K().handles.end()) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::shared_ptr<KObject> object = std::move(it->second);
  K().handles.erase(it);
  std::shared_ptr<ThreadRec> owner = std::move(object->owner);
  // A wait blocked on it keeps it until the wait ends.
  if (object->pins != 0) object->closedWhileWaited = object;
  return TRUE;
}

// ---- Threads

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                               DWORD creationFlags, LPDWORD threadId) {
  Checkpoint();
  (void)attributes;
  (void)stackSize;
  if (creationFlags & CREATE_SUSPENDED) {
    tLastError = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  constexpr DWORD kStackSizeIsReservation = 0x00010000u;
  if (startAddress == nullptr || (creationFlags & ~kStackSizeIsReservation) != 0) {
    tLastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::unique_lock<PiMutex> held(K().lock);
  std::shared_ptr<ThreadRec> rec = NewRecLocked();
  rec->created = true;
  rec->object->owner = rec;
  HANDLE handle = NewHandleLocked(rec->object);
  ++K().liveThreads;
  DWORD id = rec->id;
  held.unlock();
  try {
    std::thread(RunThread, StartInfo{rec, startAddress, parameter}).detach();
  } catch (const std::system_error&) {
    held.lock();
    --K().liveThreads;
    K().handles.erase(reinterpret_cast<uintptr_t>(handle));
    rec->object->owner.reset();
    tLastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return handle;
}

extern "C" void ExitThread(DWORD exitCode) {
  Checkpoint();
  ThreadRec& self = Self();
  if (self.created) throw ThreadExit{exitCode};
  std::unique_lock<PiMutex> held(K().lock);
  EndThreadLocked(self, exitCode);
  ParkLocked(held);
}

extern "C" BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  Checkpoint();
  std::unique_lock<PiMutex> held(K().lock);
  std::shared_ptr<ThreadRec> rec = LookupThreadLocked(thread);
  if (!rec) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (rec->ended) return TRUE;
  rec->terminated.store(true, std::memory_order_release);
  if (rec->created) --K().liveThreads;
  EndThreadLocked(*rec, exitCode);
  rec->parker.Unpark();
  if (rec.get() == tSlot.rec.get()) ParkLocked(held);
  return TRUE;
}

extern "C" BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  std::shared_ptr<ThreadRec> rec = LookupThreadLocked(thread);
  if (!rec) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (exitCode == nullptr) {
    tLastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  *exitCode = rec->ended ? rec->exitCode : STILL_ACTIVE;
  return TRUE;
}

extern "C" HANDLE GetCurrentThread(void) {
  Checkpoint();
  return kCurrentThread;
}

extern "C" DWORD GetCurrentThreadId(void) {
  Checkpoint();
  return Self().id;
}

extern "C" BOOL SetThreadPriority(HANDLE thread, int priority) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  std::shared_ptr<ThreadRec> rec = LookupThreadLocked(thread);
  if (!rec) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (priority < THREAD_PRIORITY_TIME_CRITICAL || priority > THREAD_PRIORITY_IDLE) {
    tLastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  rec->priority256 = 248 + priority;
  UpdateRankLocked(*rec);
  return TRUE;
}

extern "C" int GetThreadPriority(HANDLE thread) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  std::shared_ptr<ThreadRec> rec = LookupThreadLocked(thread);
  if (!rec) {
    tLastError = ERROR_INVALID_HANDLE;
    return kPriorityErrorReturn;
  }
  return Priority8From256(rec->priority256);
}

extern "C" BOOL CeSetThreadPriority(HANDLE thread, int priority) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  std::shared_ptr<ThreadRec> rec = LookupThreadLocked(thread);
  if (!rec) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (priority < 0 || priority > 255) {
    tLastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  rec->priority256 = priority;
  UpdateRankLocked(*rec);
  return TRUE;
}

extern "C" int CeGetThreadPriority(HANDLE thread) {
  Checkpoint();
  std::lock_guard<PiMutex> guard(K().lock);
  std::shared_ptr<ThreadRec> rec = LookupThreadLocked(thread);
  if (!rec) {
    tLastError = ERROR_INVALID_HANDLE;
    return kPriorityErrorReturn;
  }
  return rec->priority256;
}

// ---- Time

extern "C" void Sleep(DWORD milliseconds) {
  Checkpoint();
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  ThreadRec& self = Self();
  const bool forever = milliseconds == INFINITE;
  Clock::time_point deadline;
  if (!forever) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  os_detail::NoteBlocked();
  bool timedOut = false;
  while (!self.terminated) {
    if (forever) {
      self.parker.Park();
    } else if (!self.parker.ParkUntil(deadline)) {
      timedOut = true;
      break;
    }
  }
  os_detail::NoteWoken(timedOut);
  Checkpoint();
}

extern "C" DWORD GetTickCount(void) {
  Checkpoint();
  return static_cast<DWORD>(static_cast<uint64_t>(SteadyMs() + K().tickOffset.load()));
}
