// The simulated host stack: registration, matching, module loading, refused attach, transfer
// completion, cancellation and removal.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"
#include "sim/devmgr/module_file.h"
#include "sim/usb/sim_usb.h"

namespace {

using sim::AttachResult;

// A device whose transfers complete only when the test says so.
class FakeDevice : public sim::UsbDeviceModel {
 public:
  explicit FakeDevice(uint16_t vid, uint16_t pid, uint8_t ifaceClass = 0xFF) {
    ep_[0].dwCount = ep_[1].dwCount = sizeof(USB_ENDPOINT);
    ep_[0].Descriptor = {7, 5, 0x81, USB_ENDPOINT_TYPE_BULK, 64, 0};
    ep_[1].Descriptor = {7, 5, 0x01, USB_ENDPOINT_TYPE_BULK, 64, 0};
    iface_.dwCount = sizeof(USB_INTERFACE);
    iface_.Descriptor = {9, 4, 0, 0, 2, ifaceClass, 1, 2, 0};
    iface_.lpEndpoints = ep_;
    config_.dwCount = sizeof(USB_CONFIGURATION);
    config_.dwNumInterfaces = 1;
    config_.lpInterfaces = &iface_;
    device_.dwCount = sizeof(USB_DEVICE);
    device_.Descriptor.idVendor = vid;
    device_.Descriptor.idProduct = pid;
    device_.Descriptor.bcdDevice = 0x0100;
    device_.lpConfigs = device_.lpActiveConfig = &config_;
  }
  LPCUSB_DEVICE DeviceInfo() override { return &device_; }
  void Submit(const std::shared_ptr<sim::UsbIo>& io) override {
    // Control requests are answered at once (with the setup packet's wLength of 0x5A bytes).
    if (io->kind == sim::UsbIo::Kind::Control) {
      std::vector<uint8_t> data(io->length, 0x5A);
      io->Complete(data.data(), io->length, USB_NO_ERROR);
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    pending_.push_back(io);
    cv_.notify_all();
  }
  uint32_t Cancel(const std::shared_ptr<sim::UsbIo>& io) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++cancels_;
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
      if (*it == io) {
        pending_.erase(it);
        break;
      }
    return 0;
  }
  std::shared_ptr<sim::UsbIo> WaitPending() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::seconds(5), [&] { return !pending_.empty(); }))
      return nullptr;
    auto io = pending_.front();
    pending_.pop_front();
    return io;
  }
  size_t Cancels() {
    std::lock_guard<std::mutex> lock(mu_);
    return cancels_;
  }
  const USB_ENDPOINT* Endpoints() const { return ep_; }

 private:
  USB_ENDPOINT ep_[2] = {};
  USB_INTERFACE iface_ = {};
  USB_CONFIGURATION config_ = {};
  USB_DEVICE device_ = {};
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<sim::UsbIo>> pending_;
  size_t cancels_ = 0;
};

bool KeyExists(const WCHAR* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

USB_DRIVER_SETTINGS Settings(DWORD vid, DWORD pid) {
  USB_DRIVER_SETTINGS s;
  s.dwCount = sizeof(s);
  s.dwVendorId = vid;
  s.dwProductId = pid;
  s.dwReleaseNumber = s.dwDeviceClass = s.dwDeviceSubClass = s.dwDeviceProtocol = USB_NO_INFO;
  s.dwInterfaceClass = s.dwInterfaceSubClass = s.dwInterfaceProtocol = USB_NO_INFO;
  return s;
}

// What the in-process test client saw and what it is told to do.
struct ClientScript {
  std::mutex mu;
  std::condition_variable cv;
  int attaches = 0;
  USB_HANDLE device = nullptr;
  LPCUSB_FUNCS funcs = nullptr;
  LPCUSB_INTERFACE iface = nullptr;
  sim::WString clientId;
  USB_DRIVER_SETTINGS settings = {};
  BOOL result = TRUE;
  BOOL accept = TRUE;
  bool leaveOpen = false;  // open a pipe, a bulk IN and register a notification, then return
  std::atomic<int> notifications{0};
  std::atomic<bool> notifiedOnTestThread{false};
  std::thread::id testThread;
  std::atomic<bool> blockNotify{false};
  std::atomic<bool> releaseNotify{false};
};
ClientScript* g_script = nullptr;

BOOL WINAPI ScriptNotify(LPVOID context, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
  auto* s = static_cast<ClientScript*>(context);
  if (code != USB_CLOSE_DEVICE) return FALSE;
  if (std::this_thread::get_id() == s->testThread) s->notifiedOnTestThread = true;
  while (s->blockNotify && !s->releaseNotify)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  s->funcs->lpUnRegisterNotificationRoutine(s->device, ScriptNotify, s);
  {
    std::lock_guard<std::mutex> lock(s->mu);
    ++s->notifications;
  }
  s->cv.notify_all();
  return TRUE;
}

DWORD WINAPI IgnoreCompletion(LPVOID) {
  return 0;
}

BOOL ScriptAttach(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE iface, LPCWSTR id,
                  LPBOOL accept, LPCUSB_DRIVER_SETTINGS settings, DWORD) {
  ClientScript* s = g_script;
  std::lock_guard<std::mutex> lock(s->mu);
  ++s->attaches;
  s->device = device;
  s->funcs = funcs;
  s->iface = iface;
  s->clientId = id;
  s->settings = *settings;
  *accept = FALSE;
  if (s->leaveOpen) {
    USB_PIPE pipe = funcs->lpOpenPipe(device, &iface->lpEndpoints[0].Descriptor);
    static uint8_t buffer[64];
    funcs->lpIssueBulkTransfer(pipe, IgnoreCompletion, nullptr, USB_IN_TRANSFER, 64, buffer, 0);
    funcs->lpRegisterNotificationRoutine(device, ScriptNotify, s);
  } else if (s->result && s->accept) {
    funcs->lpRegisterNotificationRoutine(device, ScriptNotify, s);
  }
  *accept = s->accept;
  return s->result;
}

class HostStack : public ::testing::Test {
 protected:
  void SetUp() override {
    script_.testThread = std::this_thread::get_id();
    g_script = &script_;
    sim::RegisterBuiltinUsbClient(TEXT("script.dll"), ScriptAttach);
    baseTransfers_ = sim::LiveTransfers();
    basePipes_ = sim::LivePipes();
    sim::ResetUsbLeakCount();
  }
  void TearDown() override {
    for (auto id : plugged_) {
      sim::Unplug(id);
      EXPECT_TRUE(sim::WaitRemoved(id, 5000));
    }
    for (auto& [id, s] : registered_) UnRegisterClientSettings(id.c_str(), nullptr, &s);
    EXPECT_EQ(sim::LiveTransfers(), baseTransfers_);
    EXPECT_EQ(sim::LivePipes(), basePipes_);
    g_script = nullptr;
  }
  void Register(const sim::WString& id, const USB_DRIVER_SETTINGS& s,
                const sim::WString& dll = TEXT("script.dll")) {
    ASSERT_TRUE(RegisterClientDriverID(id.c_str()));
    ASSERT_TRUE(RegisterClientSettings(dll.c_str(), id.c_str(), nullptr, &s));
    registered_.emplace_back(id, s);
  }
  sim::UsbDeviceId PlugFake(std::shared_ptr<FakeDevice> d) {
    sim::UsbDeviceId id = sim::Plug(d);
    plugged_.push_back(id);
    return id;
  }
  void Removed(sim::UsbDeviceId id) {
    ASSERT_TRUE(sim::WaitRemoved(id, 5000));
    plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), id), plugged_.end());
  }
  // A device with product id 1 plugged, and a pipe open on its bulk IN endpoint.
  struct Plugged {
    std::shared_ptr<FakeDevice> dev;
    sim::UsbDeviceId id;
    USB_PIPE in;
  };
  Plugged PlugWithPipe(uint16_t vid) {
    auto dev = std::make_shared<FakeDevice>(vid, 1);
    sim::UsbDeviceId id = PlugFake(dev);
    USB_PIPE in = f_->lpOpenPipe(sim::DeviceHandle(id), &dev->Endpoints()[0].Descriptor);
    EXPECT_NE(in, nullptr);
    return {dev, id, in};
  }
  // Bytes and error of a transfer; the status call itself must succeed.
  std::pair<DWORD, DWORD> Status(USB_TRANSFER t) {
    DWORD bytes = 0xFFFF, err = 0xFFFF;
    EXPECT_TRUE(f_->lpGetTransferStatus(t, &bytes, &err));
    return {bytes, err};
  }

  LPCUSB_FUNCS f_ = sim::UsbFuncs();

  ClientScript script_;
  size_t baseTransfers_ = 0, basePipes_ = 0;
  std::vector<sim::UsbDeviceId> plugged_;
  std::vector<std::pair<sim::WString, USB_DRIVER_SETTINGS>> registered_;
};

// ---- Registration and matching ------------------------------------------------------------------

TEST_F(HostStack, RegistrationIsKeptInTheRegistry) {
  Register(TEXT("RegClient"), Settings(0x1111, 0x2222));
  ASSERT_TRUE(KeyExists(TEXT("Drivers\\USB\\ClientDrivers\\RegClient")));
  const WCHAR* path =
      TEXT("Drivers\\USB\\LoadClients\\4369_8738\\Any\\Any_Any_Any\\Any_Any_Any\\RegClient");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
  WCHAR dll[64] = {};
  DWORD type = 0, size = sizeof(dll);
  EXPECT_EQ(
      RegQueryValueExW(key, TEXT("Dll"), nullptr, &type, reinterpret_cast<LPBYTE>(dll), &size),
      ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(sim::WString(dll), TEXT("script.dll"));

  USB_DRIVER_SETTINGS s = Settings(0x1111, 0x2222);
  EXPECT_TRUE(UnRegisterClientSettings(TEXT("RegClient"), nullptr, &s));
  registered_.clear();
  EXPECT_FALSE(KeyExists(path));
  EXPECT_FALSE(UnRegisterClientSettings(TEXT("RegClient"), nullptr, &s));
  // The driver's own configuration below its client key outlives the registration.
  HKEY port = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\USB\\ClientDrivers\\RegClient\\Port0"), 0,
                      nullptr, 0, KEY_ALL_ACCESS, nullptr, &port, &disposition),
      ERROR_SUCCESS);
  RegCloseKey(port);
  EXPECT_TRUE(UnRegisterClientDriverID(TEXT("RegClient")));
  EXPECT_FALSE(UnRegisterClientDriverID(TEXT("RegClient")));
  EXPECT_TRUE(KeyExists(TEXT("Drivers\\USB\\ClientDrivers\\RegClient\\Port0")));
  EXPECT_FALSE(RegisterClientSettings(nullptr, TEXT("RegClient"), nullptr, &s));
  EXPECT_FALSE(RegisterClientDriverID(nullptr));
}

TEST_F(HostStack, MatchingHonoursWildcardsAndRejectsOtherDevices) {
  Register(TEXT("MatchClient"), Settings(0x1001, USB_NO_INFO));
  auto matching = std::make_shared<FakeDevice>(0x1001, 0x7777);
  sim::UsbDeviceId a = PlugFake(matching);
  EXPECT_EQ(sim::LastAttachResult(a).status, AttachResult::Status::Attached);
  EXPECT_EQ(script_.attaches, 1);
  EXPECT_EQ(script_.clientId, TEXT("MatchClient"));
  EXPECT_EQ(script_.settings.dwVendorId, 0x1001u);
  EXPECT_EQ(script_.settings.dwProductId, USB_NO_INFO);

  sim::UsbDeviceId b = PlugFake(std::make_shared<FakeDevice>(0x1002, 0x7777));
  EXPECT_EQ(sim::LastAttachResult(b).status, AttachResult::Status::NoDriver);
  EXPECT_EQ(script_.attaches, 1);
}

TEST_F(HostStack, InterfaceClassMatchHandsTheMatchingInterface) {
  USB_DRIVER_SETTINGS s = Settings(0x1003, 0x0001);
  s.dwInterfaceClass = 0x0A;
  Register(TEXT("IfaceClient"), s);
  sim::UsbDeviceId wrong = PlugFake(std::make_shared<FakeDevice>(0x1003, 0x0001, 0xFF));
  EXPECT_EQ(sim::LastAttachResult(wrong).status, AttachResult::Status::NoDriver);
  auto dev = std::make_shared<FakeDevice>(0x1003, 0x0001, 0x0A);
  sim::UsbDeviceId right = PlugFake(dev);
  EXPECT_EQ(sim::LastAttachResult(right).status, AttachResult::Status::Attached);
  ASSERT_NE(script_.iface, nullptr);
  EXPECT_EQ(script_.iface->Descriptor.bInterfaceClass, 0x0A);
}

// ---- Module loading
// -------------------------------------------------------------------------------

TEST_F(HostStack, ModuleLoadFailuresAreReported) {
  Register(TEXT("MissingFile"), Settings(0x1004, 1), TEXT("no_such_module_here"));
  sim::UsbDeviceId a = PlugFake(std::make_shared<FakeDevice>(0x1004, 1));
  AttachResult r = sim::LastAttachResult(a);
  EXPECT_EQ(r.status, AttachResult::Status::LoadFailed);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  Register(TEXT("MissingSymbol"), Settings(0x1005, 1), TEXT("tvfake_stream"));
  sim::UsbDeviceId b = PlugFake(std::make_shared<FakeDevice>(0x1005, 1));
  r = sim::LastAttachResult(b);
  EXPECT_EQ(r.status, AttachResult::Status::LoadFailed);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_NE(r.detail.find("USBDeviceAttach"), std::string::npos);
}

TEST_F(HostStack, ModuleIsLoadedFromBesideTheExecutable) {
  Register(TEXT("RealModule"), Settings(0x1006, 1), TEXT("tv_test_usb_client"));
  sim::UsbDeviceId a = PlugFake(std::make_shared<FakeDevice>(0x1006, 1));
  AttachResult r = sim::LastAttachResult(a);
  EXPECT_EQ(r.status, AttachResult::Status::Attached) << r.detail;
  EXPECT_NE(r.detail.find(std::string("libtv_test_usb_client") + sim::modfile::kSuffix),
            std::string::npos);
}

// ---- Refused attach
// -------------------------------------------------------------------------------

TEST_F(HostStack, RefusedAttachLeavesNothingRegisteredOrOpen) {
  Register(TEXT("Refuser"), Settings(0x1007, 1));
  size_t notifyBase = sim::LiveNotificationRoutines();
  script_.leaveOpen = true;
  script_.result = FALSE;
  sim::UsbDeviceId a = PlugFake(std::make_shared<FakeDevice>(0x1007, 1));
  EXPECT_EQ(sim::LastAttachResult(a).status, AttachResult::Status::Refused);
  EXPECT_EQ(sim::LiveTransfers(), baseTransfers_);
  EXPECT_EQ(sim::LivePipes(), basePipes_);
  EXPECT_EQ(sim::LiveNotificationRoutines(), notifyBase);
  EXPECT_EQ(sim::UsbLeakCount(), 3u);  // pipe, transfer, notification

  // TRUE with the accept flag left FALSE is a refusal as well.
  script_.result = TRUE;
  script_.accept = FALSE;
  sim::ResetUsbLeakCount();
  sim::UsbDeviceId b = PlugFake(std::make_shared<FakeDevice>(0x1007, 1));
  EXPECT_EQ(sim::LastAttachResult(b).status, AttachResult::Status::Refused);
  EXPECT_EQ(sim::UsbLeakCount(), 3u);
  sim::Unplug(a);
  sim::Unplug(b);
  Removed(a);
  Removed(b);
  EXPECT_EQ(script_.notifications, 0);
}

// ---- Transfers
// -----------------------------------------------------------------------------------

struct Completion {
  std::atomic<int> calls{0};
  std::atomic<bool> onCallerThread{false};
  std::thread::id caller = std::this_thread::get_id();
  bool WaitCalled(int ms = 1000) {
    for (int i = 0; i < ms / 2 && calls == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return calls != 0;
  }
};
DWORD WINAPI CountCompletion(LPVOID p) {
  auto* c = static_cast<Completion*>(p);
  if (std::this_thread::get_id() == c->caller) c->onCallerThread = true;
  ++c->calls;
  return 0;
}

// An asynchronous bulk IN of `length` bytes whose completion counts into c.
USB_TRANSFER Read(USB_PIPE in, Completion& c, uint8_t* buf, DWORD length) {
  return sim::UsbFuncs()->lpIssueBulkTransfer(in, CountCompletion, &c, 0x280, length, buf, 0);
}

TEST_F(HostStack, SynchronousVendorRequestIsCompleteOnReturn) {
  USB_HANDLE h = sim::DeviceHandle(PlugFake(std::make_shared<FakeDevice>(0x1008, 1)));
  USB_DEVICE_REQUEST setup = {0xC1, 0x08, 0, 0, 4};
  uint8_t buf[4] = {};
  USB_TRANSFER t = f_->lpIssueVendorTransfer(h, nullptr, nullptr, 0x1080, &setup, buf, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(f_->lpIsTransferComplete(t));
  EXPECT_EQ(Status(t), (std::pair<DWORD, DWORD>(4, USB_NO_ERROR)));
  EXPECT_EQ(buf[3], 0x5A);
  EXPECT_TRUE(f_->lpCloseTransfer(t));
  // Flags that disagree with the setup packet's direction are refused.
  EXPECT_EQ(f_->lpIssueVendorTransfer(h, nullptr, nullptr, 0x1000, &setup, buf, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(HostStack, AsynchronousTransferCompletesOnceOnAHostThread) {
  Plugged p = PlugWithPipe(0x1009);
  Completion c;
  uint8_t buf[16] = {};
  USB_TRANSFER t = Read(p.in, c, buf, sizeof(buf));
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(f_->lpIsTransferComplete(t));
  auto io = p.dev->WaitPending();
  ASSERT_NE(io, nullptr);
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_TRUE(io->Complete(data, 3, USB_NO_ERROR));
  EXPECT_FALSE(io->Complete(data, 3, USB_NO_ERROR));
  c.WaitCalled();
  EXPECT_EQ(c.calls, 1);
  EXPECT_FALSE(c.onCallerThread);
  EXPECT_EQ(Status(t).first, 3u);
  EXPECT_EQ(buf[2], 3);
  EXPECT_TRUE(f_->lpCloseTransfer(t));
  EXPECT_FALSE(f_->lpCloseTransfer(t));
  EXPECT_EQ(c.calls, 1);
  EXPECT_TRUE(f_->lpClosePipe(p.in));
}

TEST_F(HostStack, NoCompletionRunsAfterCloseTransferReturned) {
  Plugged p = PlugWithPipe(0x100A);
  // The device completes each transfer from its own thread while the test closes it.
  for (int round = 0; round < 200; ++round) {
    Completion c;
    uint8_t buf[8];
    USB_TRANSFER t = Read(p.in, c, buf, 8);
    ASSERT_NE(t, nullptr);
    auto io = p.dev->WaitPending();
    ASSERT_NE(io, nullptr);
    std::thread completer([&] { io->Complete(buf, 0, USB_NO_ERROR); });
    if (round % 2) std::this_thread::yield();
    EXPECT_TRUE(f_->lpCloseTransfer(t));
    int atClose = c.calls;
    completer.join();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    EXPECT_EQ(c.calls, atClose) << "round " << round;
    EXPECT_LE(c.calls, 1);
  }
  EXPECT_TRUE(f_->lpClosePipe(p.in));
}

TEST_F(HostStack, AbortCompletesWithCancelAndRunsTheRoutine) {
  Plugged p = PlugWithPipe(0x100B);
  Completion c;
  uint8_t buf[8];
  USB_TRANSFER t = Read(p.in, c, buf, 8);
  ASSERT_NE(p.dev->WaitPending(), nullptr);
  EXPECT_TRUE(f_->lpAbortTransfer(t, 0));
  EXPECT_EQ(c.calls, 1);  // without USB_NO_WAIT the routine has run
  EXPECT_EQ(Status(t), (std::pair<DWORD, DWORD>(0, USB_CANCELED_ERROR)));
  EXPECT_EQ(p.dev->Cancels(), 1u);
  EXPECT_TRUE(f_->lpCloseTransfer(t));
  EXPECT_TRUE(f_->lpClosePipe(p.in));
}

TEST_F(HostStack, GarbageHandlesFail) {
  LPCUSB_FUNCS f = f_;
  auto junkDevice = reinterpret_cast<USB_HANDLE>(0x1234);
  auto junkPipe = reinterpret_cast<USB_PIPE>(0xDEAD0);
  auto junkTransfer = reinterpret_cast<USB_TRANSFER>(0xBEEF0);
  EXPECT_EQ(f->lpGetDeviceInfo(junkDevice), nullptr);
  EXPECT_EQ(f->lpOpenPipe(junkDevice, nullptr), nullptr);
  EXPECT_FALSE(f->lpClosePipe(junkPipe));
  USB_DEVICE_REQUEST setup = {0x41, 0, 0, 0, 0};
  EXPECT_EQ(f->lpIssueVendorTransfer(junkDevice, nullptr, nullptr, 0x1000, &setup, nullptr, 0),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  uint8_t b[4];
  EXPECT_EQ(f->lpIssueBulkTransfer(junkPipe, nullptr, nullptr, 0, 4, b, 0), nullptr);
  DWORD x, y;
  EXPECT_FALSE(f->lpGetTransferStatus(junkTransfer, &x, &y));
  EXPECT_FALSE(f->lpIsTransferComplete(junkTransfer));
  EXPECT_FALSE(f->lpAbortTransfer(junkTransfer, 0));
  EXPECT_FALSE(f->lpCloseTransfer(junkTransfer));
  EXPECT_FALSE(f->lpRegisterNotificationRoutine(junkDevice, ScriptNotify, nullptr));
  EXPECT_FALSE(f->lpUnRegisterNotificationRoutine(junkDevice, ScriptNotify, nullptr));
  EXPECT_EQ(f->lpGetDescriptor(junkDevice, nullptr, nullptr, 0, 3, 2, 3, 2, b), nullptr);
  EXPECT_EQ(f->lpSetInterface(junkDevice, nullptr, nullptr, 0, 0, 0), nullptr);
}

// ---- Removal
// ---------------------------------------------------------------------------------------

TEST_F(HostStack, UnplugCompletesOutstandingTransfersOnceAndNotifies) {
  Register(TEXT("UnplugClient"), Settings(0x100C, 1));
  Plugged p = PlugWithPipe(0x100C);
  ASSERT_EQ(sim::LastAttachResult(p.id).status, AttachResult::Status::Attached);
  USB_PIPE out = f_->lpOpenPipe(sim::DeviceHandle(p.id), &p.dev->Endpoints()[1].Descriptor);
  Completion c[4];
  uint8_t buf[4][8] = {};
  USB_TRANSFER t[4];
  for (int i = 0; i < 4; ++i) {
    t[i] = i % 2 ? f_->lpIssueBulkTransfer(out, CountCompletion, &c[i], 0, 8, buf[i], 0)
                 : Read(p.in, c[i], buf[i], 8);
    ASSERT_NE(t[i], nullptr);
  }
  ASSERT_TRUE(sim::Unplug(p.id));
  EXPECT_FALSE(sim::Unplug(p.id));
  {
    std::unique_lock<std::mutex> lock(script_.mu);
    ASSERT_TRUE(script_.cv.wait_for(lock, std::chrono::seconds(5),
                                    [&] { return script_.notifications == 1; }));
  }
  EXPECT_FALSE(script_.notifiedOnTestThread);
  for (int i = 0; i < 4; ++i) {
    c[i].WaitCalled();
    EXPECT_EQ(c[i].calls, 1);
    EXPECT_EQ(Status(t[i]).second, USB_DEVICE_NOT_RESPONDING_ERROR);
    EXPECT_TRUE(f_->lpCloseTransfer(t[i]));
  }
  EXPECT_EQ(Read(p.in, c[0], buf[0], 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  f_->lpClosePipe(p.in);
  f_->lpClosePipe(out);
  Removed(p.id);
  EXPECT_EQ(sim::UsbLeakCount(), 0u);
}

TEST_F(HostStack, TransfersOutliveRemovalUntilTheClientClosesThem) {
  Plugged p = PlugWithPipe(0x100D);
  uint8_t buf[8];
  Completion c;
  USB_TRANSFER t = Read(p.in, c, buf, 8);
  ASSERT_NE(t, nullptr);
  sim::Unplug(p.id);
  Removed(p.id);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(sim::LiveTransfers(), baseTransfers_ + 1);
  EXPECT_EQ(sim::LivePipes(), basePipes_ + 1);
  EXPECT_EQ(Status(t).second, USB_DEVICE_NOT_RESPONDING_ERROR);
  EXPECT_EQ(Read(p.in, c, buf, 8), nullptr);
  EXPECT_TRUE(f_->lpCloseTransfer(t));
  EXPECT_TRUE(f_->lpClosePipe(p.in));
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(sim::UsbLeakCount(), 0u);
}

TEST_F(HostStack, BlockingNotificationDoesNotStallOtherDevices) {
  Register(TEXT("BlockClient"), Settings(0x100E, 1));
  script_.blockNotify = true;
  sim::UsbDeviceId blocked = PlugFake(std::make_shared<FakeDevice>(0x100E, 1));
  ASSERT_EQ(sim::LastAttachResult(blocked).status, AttachResult::Status::Attached);
  sim::Unplug(blocked);

  Plugged other = PlugWithPipe(0x100F);
  Completion c;
  uint8_t buf[8];
  USB_TRANSFER t = Read(other.in, c, buf, 8);
  auto io = other.dev->WaitPending();
  ASSERT_NE(io, nullptr);
  io->Complete(buf, 1, USB_NO_ERROR);
  c.WaitCalled(2000);
  EXPECT_EQ(c.calls, 1);
  EXPECT_FALSE(sim::WaitRemoved(blocked, 50));
  script_.releaseNotify = true;
  Removed(blocked);
  EXPECT_TRUE(f_->lpCloseTransfer(t));
  EXPECT_TRUE(f_->lpClosePipe(other.in));
}

TEST_F(HostStack, SynchronousTransferReturnsWhenTheDeviceGoes) {
  Plugged p = PlugWithPipe(0x1010);
  std::thread unplugger([&] {
    p.dev->WaitPending();
    sim::Unplug(p.id);
  });
  uint8_t buf[8];
  USB_TRANSFER t = f_->lpIssueBulkTransfer(p.in, nullptr, nullptr, 0x280, 8, buf, 0);
  unplugger.join();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Status(t).second, USB_DEVICE_NOT_RESPONDING_ERROR);
  f_->lpCloseTransfer(t);
  f_->lpClosePipe(p.in);
  Removed(p.id);
}

}  // namespace
