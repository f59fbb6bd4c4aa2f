// The device manager: activation and its active keys, module loading, power notices, application
// handles and the ordering promises of close and deactivation.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "sim/devmgr/module_file.h"
#include "tests/sim_devmgr/devmgr_test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sim::WString ReadString(const sim::WString& keyPath, const WCHAR* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return TEXT("<no key>");
  }
  WCHAR buffer[256] = {};
  DWORD size = sizeof buffer - 2;
  DWORD type = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return TEXT("<no value>");
  return buffer;
}

const std::string kModuleFile = std::string("libtvfake_stream") + sim::modfile::kSuffix;

// ---- Activation
// ----------------------------------------------------------------------------------

using ActivationTest = FakeDeviceTest;

TEST_F(ActivationTest, ActiveKeyHoldsKeyNameAndPointerSizedClientInfoBeforeInit) {
  DWORD_PTR client = static_cast<DWORD_PTR>(0x123456789ABCDEF0ull & UINTPTR_MAX);
  HANDLE device = Activate(kFakeKey, client);
  ASSERT_NE(device, nullptr);

  sim::WString active = sim::ActiveKeyOf("FAK1:");
  ASSERT_FALSE(active.empty());
  EXPECT_EQ(active.rfind(TEXT("Drivers\\Active\\"), 0), 0u);
  EXPECT_EQ(ReadString(active, TEXT("Key")), kFakeKey);
  EXPECT_EQ(ReadString(active, TEXT("Name")), TEXT("FAK1:"));

  // Init ran with the active key path and found everything in place already.
  EXPECT_EQ(fake::S().inits, 1);
  EXPECT_EQ(fake::S().initKey, active);
  EXPECT_EQ(fake::S().clientInfoType, sizeof(DWORD_PTR) == 8 ? REG_QWORD : REG_DWORD);
  EXPECT_EQ(fake::S().clientInfoSize, sizeof(DWORD_PTR));
  EXPECT_EQ(fake::S().clientInfo, client);
  EXPECT_EQ(fake::S().dllThroughDeviceKey, TEXT("fakestream"));
  EXPECT_EQ(sim::ActiveDeviceCount(), 1u);

  ASSERT_TRUE(Deactivate(device));
  EXPECT_EQ(fake::S().deinits, 1);
  EXPECT_FALSE(RegistryKeyExists(active));
  EXPECT_TRUE(sim::ActiveKeyOf("FAK1:").empty());
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
}

TEST_F(ActivationTest, NamesTakeTheLowestFreeIndexAndAreFreedByDeactivation) {
  HANDLE first = Activate();
  HANDLE second = Activate();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"FAK1:", "FAK2:"}));
  EXPECT_NE(sim::ActiveKeyOf("FAK1:"), sim::ActiveKeyOf("FAK2:"));

  ASSERT_TRUE(Deactivate(first));
  HANDLE third = Activate();
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"FAK2:", "FAK1:"}));
  EXPECT_NE(third, first) << "a handle value is never given out twice";
  // The old handle stays dead although a device with the same name exists again.
  EXPECT_FALSE(DeactivateDevice(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(sim::ActiveDeviceCount(), 2u);
}

TEST_F(ActivationTest, IndexValueChoosesTheNameAndATakenIndexIsRefused) {
  WriteDeviceKey(kFakeKey, TEXT("fakestream"), TEXT("FAK"), 5);
  ASSERT_NE(Activate(), nullptr);
  EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"FAK5:"}));

  ExpectActivationFails(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(fake::S().inits, 1) << "a refused name never reaches Init";

  WriteDeviceKey(kFakeKey, TEXT("fakestream"), TEXT("FAK"), 10);
  ExpectActivationFails(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(sim::ActiveDeviceCount(), 1u);
}

TEST_F(ActivationTest, AllNineIndicesTakenRefusesTheTenth) {
  for (int i = 1; i <= 9; ++i) ASSERT_NE(Activate(), nullptr) << i;
  ExpectActivationFails(ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(sim::ActiveDeviceCount(), 9u);
}

TEST_F(ActivationTest, InitFailureRemovesTheActiveKeyAndReportsTheDriversError) {
  fake::S().failInit = true;
  fake::S().initError = 1234;
  ExpectActivationFails(1234);
  ASSERT_EQ(fake::S().inits, 1);
  EXPECT_FALSE(fake::S().initKey.empty());
  EXPECT_FALSE(RegistryKeyExists(fake::S().initKey));
  EXPECT_EQ(fake::S().deinits, 0);
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);

  // Without an error from the driver the failure is still reported as one.
  fake::S().initError = 0;
  ExpectActivationFails(ERROR_GEN_FAILURE);

  // The name was not kept: the next good activation is FAK1: again.
  fake::S().failInit = false;
  ASSERT_NE(Activate(), nullptr);
  EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"FAK1:"}));
}

TEST_F(ActivationTest, MissingKeyDllOrPrefixIsReportedWithoutReachingTheModule) {
  ExpectActivationFails(ERROR_FILE_NOT_FOUND, TEXT("Drivers\\TestDevmgr\\Nothing"));
  ExpectActivationFails(ERROR_INVALID_PARAMETER, nullptr);
  // No Dll, no Prefix, a prefix of four letters.
  for (auto [dll, prefix] :
       {std::pair{TEXT(""), TEXT("FAK")}, std::pair{TEXT("fakestream"), TEXT("")},
        std::pair{TEXT("fakestream"), TEXT("FAKE")}}) {
    WriteDeviceKey(kFakeKey, dll, prefix);
    ExpectActivationFails(ERROR_BADKEY);
  }
  EXPECT_EQ(fake::S().inits, 0);
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
}

TEST_F(ActivationTest, UnknownModuleAndMissingEntriesAreReported) {
  WriteDeviceKey(kFakeKey, TEXT("nosuchmodule"), TEXT("FAK"));
  ExpectActivationFails(ERROR_MOD_NOT_FOUND);

  // The module file exists but exports no XYZ_ entries.
  WriteDeviceKey(kFakeKey, TEXT("tvfake_stream"), TEXT("XYZ"));
  ExpectActivationFails(ERROR_PROC_NOT_FOUND);

  sim::StreamModuleEntries noInit = fake::Entries();
  noInit.Init = nullptr;
  sim::RegisterBuiltinStreamModule("noinit", noInit);
  WriteDeviceKey(kFakeKey, TEXT("NoInit"), TEXT("FAK"));
  ExpectActivationFails(ERROR_PROC_NOT_FOUND);
  sim::UnregisterBuiltinStreamModule("noinit");
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
}

TEST_F(ActivationTest, ModuleFileBesideTheExecutableIsLoadedAndUnloaded) {
  std::string path = sim::modfile::ExecutableDirectory() + "/" + kModuleFile;
  ASSERT_TRUE(std::filesystem::exists(path)) << path;
  WriteDeviceKey(kFakeKey, TEXT("tvfake_stream"), TEXT("FAK"));
  HANDLE device = Activate();
  ASSERT_NE(device, nullptr) << GetLastError();

  void* loaded = sim::modfile::Loaded(path);
  ASSERT_NE(loaded, nullptr) << "the module is in the process";
  auto live = reinterpret_cast<int (*)()>(sim::modfile::Symbol(loaded, "FakeModuleLiveDevices"));
  ASSERT_NE(live, nullptr);
  EXPECT_EQ(live(), 1);

  // The file's entries answer, not the in-process fake's.
  HANDLE h = sim::DeviceOpen(TEXT("FAK1:"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE buffer[4] = {};
  EXPECT_EQ(sim::DeviceRead(h, buffer, 4), 4u);
  EXPECT_EQ(buffer[3], 0x5A);
  EXPECT_EQ(sim::DeviceWrite(h, buffer, 4), 2u);
  EXPECT_EQ(sim::DeviceSeek(h, 0, 0), 77u);
  EXPECT_EQ(fake::S().opens, 0);
  EXPECT_TRUE(sim::DeviceClose(h));

  // PowerUp and PowerDown are optional entries: the file has none.
  sim::PowerDownAll();
  sim::PowerUpAll();

  ASSERT_TRUE(Deactivate(device));
  EXPECT_EQ(sim::modfile::Loaded(path), nullptr) << "unloaded at deactivation";
}

TEST_F(ActivationTest, ModuleFolderFromTheSettingAndFromTheEnvironment) {
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("tv-devmgr-" + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(sim::modfile::ExecutableDirectory() + "/" + kModuleFile,
                             folder / ("movedfake" + std::string(sim::modfile::kSuffix)),
                             std::filesystem::copy_options::overwrite_existing);

  WriteDeviceKey(kFakeKey, TEXT("movedfake"), TEXT("FAK"));
  ExpectActivationFails(ERROR_MOD_NOT_FOUND);
  auto activatesAndGoes = [&] {
    HANDLE device = Activate();
    EXPECT_NE(device, nullptr);
    if (device) {
      EXPECT_TRUE(Deactivate(device));
    }
  };

  sim::SetModuleDirectory(folder.string());
  activatesAndGoes();
  sim::SetModuleDirectory("");

  sim::modfile::SetEnvironment("TV_MODULE_DIR", folder.string());
  WriteDeviceKey(kFakeKey, TEXT("movedfake.dll"), TEXT("FAK"));
  activatesAndGoes();
  sim::modfile::SetEnvironment("TV_MODULE_DIR", "");

  std::filesystem::remove_all(folder);
}

TEST_F(ActivationTest, ConcurrentActivationsGetDistinctNamesAndKeys) {
  std::vector<std::thread> threads;
  std::vector<HANDLE> made(4, nullptr);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] { made[i] = ActivateDevice(kFakeKey, static_cast<DWORD_PTR>(i)); });
  }
  for (auto& t : threads) t.join();
  for (HANDLE h : made) {
    ASSERT_NE(h, nullptr);
    devices_.push_back(h);
  }
  std::vector<std::string> names = sim::ActiveDeviceNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"FAK1:", "FAK2:", "FAK3:", "FAK4:"}));
  std::vector<sim::WString> keys;
  for (const auto& name : names) keys.push_back(sim::ActiveKeyOf(name));
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(std::unique(keys.begin(), keys.end()), keys.end());
}

// ---- Power
// ---------------------------------------------------------------------------------------

TEST_F(ActivationTest, PowerNoticesReachEveryActiveDeviceNewestFirstOnTheWayDown) {
  ASSERT_NE(Activate(), nullptr);
  ASSERT_NE(Activate(), nullptr);
  fake::S().log.clear();
  sim::PowerDownAll();
  sim::PowerUpAll();
  EXPECT_EQ(fake::S().log, (std::vector<std::string>{"down:2", "down:1", "up:1", "up:2"}));
}

// ---- Application handles
// -------------------------------------------------------------------------

enum class Blocking { Read, Write, Wait };

class HandleTest : public ActiveDeviceTest {
 protected:
  HANDLE Open() { return sim::DeviceOpen(TEXT("FAK1:"), GENERIC_READ | GENERIC_WRITE, 0); }
  // Runs the blocking call of the kind on a thread. Whether the driver's call had returned before
  // Close and Deinit is checked by the fake itself.
  static std::thread StartBlockingCall(HANDLE h, Blocking kind, DWORD* result = nullptr,
                                       DWORD* error = nullptr) {
    return std::thread([=] {
      BYTE buffer[16] = {};
      DWORD r = 0;
      switch (kind) {
        case Blocking::Read:
          r = sim::DeviceRead(h, buffer, sizeof buffer);
          break;
        case Blocking::Write:
          r = sim::DeviceWrite(h, buffer, sizeof buffer);
          break;
        case Blocking::Wait: {
          DWORD mask = 0xFFFF;
          DWORD actual = 0;
          r = sim::DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                   reinterpret_cast<PBYTE>(&mask), 4, &actual);
          break;
        }
      }
      if (result) *result = r;
      if (error) *error = GetLastError();
    });
  }
  // Opens a handle and starts a read on it that blocks in the driver.
  std::thread StartBlockedRead(HANDLE* h) {
    fake::S().blockRead = true;
    *h = Open();
    EXPECT_NE(*h, INVALID_HANDLE_VALUE);
    std::thread reader = StartBlockingCall(*h, Blocking::Read);
    EXPECT_TRUE(fake::WaitFor([] { return fake::S().blocked == 1; }));
    return reader;
  }
  // Every call on a handle that is closed, dead or not one fails with ERROR_INVALID_HANDLE.
  static void ExpectCallsRefused(HANDLE h) {
    BYTE buffer[4];
    DWORD actual = 0;
    SetLastError(0);
    EXPECT_EQ(sim::DeviceRead(h, buffer, 4), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(sim::DeviceWrite(h, buffer, 4), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(sim::DeviceSeek(h, 0, 0), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(sim::DeviceIoControl(h, IOCTL_SERIAL_GET_DCB, nullptr, 0, buffer, 4, &actual));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  static void ExpectCloseRefused(HANDLE h) {
    SetLastError(0);
    EXPECT_FALSE(sim::DeviceClose(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
};

TEST_F(HandleTest, CallsReachTheDriverWithTheirArguments) {
  HANDLE h = sim::DeviceOpen(TEXT("fak1:"), GENERIC_READ, FILE_SHARE_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(sim::IsApplicationHandleValue(h));
  ASSERT_EQ(fake::S().opensMade.size(), 1u);
  EXPECT_EQ(fake::S().opensMade[0].access, GENERIC_READ);
  EXPECT_EQ(fake::S().opensMade[0].shareMode, FILE_SHARE_WRITE);

  BYTE in[3] = {9, 8, 7};
  BYTE out[5] = {};
  EXPECT_EQ(sim::DeviceRead(h, out, 5), 5u);
  EXPECT_EQ(out[4], 5);
  EXPECT_EQ(sim::DeviceWrite(h, in, 3), 3u);
  EXPECT_EQ(fake::S().written, (std::vector<BYTE>{9, 8, 7}));
  EXPECT_EQ(sim::DeviceSeek(h, 5, 2), 7u);
  DWORD actual = 0;
  EXPECT_TRUE(sim::DeviceIoControl(h, 0x222004, in, 3, out, 2, &actual));
  EXPECT_EQ(actual, 2u);
  EXPECT_EQ(out[1], 0xA1);
  ASSERT_EQ(fake::S().ioCalls.size(), 1u);
  EXPECT_EQ(fake::S().ioCalls[0].code, 0x222004u);
  EXPECT_EQ(fake::S().ioCalls[0].in, (std::vector<BYTE>{9, 8, 7}));

  // A driver failure comes back with the driver's own error.
  fake::S().readResult = ERROR_TIMEOUT;
  EXPECT_EQ(sim::DeviceRead(h, out, 5), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_TRUE(sim::DeviceClose(h));
  EXPECT_EQ(fake::S().closes, 1);
}

TEST_F(HandleTest, UnknownNameAndRefusedOpenGiveNoHandle) {
  EXPECT_EQ(sim::DeviceOpen(TEXT("FAK2:"), GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sim::DeviceOpen(TEXT("FAK1"), GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::DeviceOpen(nullptr, GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake::S().opens, 0);

  fake::S().failOpen = true;
  fake::S().openError = ERROR_INVALID_ACCESS;
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
  fake::S().openError = 0;
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPEN_FAILED));
  EXPECT_EQ(sim::ApplicationHandleCount(), 0u);
}

TEST_F(HandleTest, ClosedHandleNeverReachesTheDriverAgain) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(sim::DeviceClose(h));
  int callsBefore = fake::Calls();
  ExpectCallsRefused(h);
  ExpectCloseRefused(h);
  EXPECT_EQ(fake::Calls(), callsBefore);
  EXPECT_EQ(fake::S().closes, 1);
  EXPECT_EQ(fake::S().callsOnClosed, 0);
}

TEST_F(HandleTest, DeactivationClosesOpenHandlesAndLeavesThemDead) {
  HANDLE a = Open();
  HANDLE b = sim::DeviceOpen(TEXT("FAK1:"), 0, 0);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  fake::S().log.clear();
  ASSERT_TRUE(Deactivate(device_));
  // No call was in flight, so no notice: both closed, then Deinit.
  EXPECT_EQ(fake::S().log, (std::vector<std::string>{"close", "close", "deinit"}));

  ExpectCallsRefused(a);
  ExpectCallsRefused(b);
  EXPECT_EQ(fake::Calls(), 0);
  EXPECT_EQ(sim::DeviceOpen(TEXT("FAK1:"), 0, 0), INVALID_HANDLE_VALUE);

  EXPECT_EQ(sim::ApplicationHandleCount(), 2u);
  EXPECT_TRUE(sim::DeviceClose(a)) << "a dead handle is released";
  EXPECT_TRUE(sim::DeviceClose(b));
  EXPECT_FALSE(sim::DeviceClose(a));
  EXPECT_EQ(sim::ApplicationHandleCount(), 0u);
  EXPECT_EQ(fake::S().closes, 2);
  EXPECT_EQ(fake::S().callsOnClosed, 0);
}

TEST_F(HandleTest, GarbageHandlesAreRefusedWithoutReachingAnything) {
  HANDLE live = Open();
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  uintptr_t liveValue = reinterpret_cast<uintptr_t>(live);
  const HANDLE garbage[] = {
      nullptr,
      INVALID_HANDLE_VALUE,
      reinterpret_cast<HANDLE>(uintptr_t{0x1234}),
      reinterpret_cast<HANDLE>(liveValue + 1000),  // an application handle never given out
      device_,                                     // a device, not an application handle
      reinterpret_cast<HANDLE>(&liveValue),
  };
  for (HANDLE h : garbage) {
    ExpectCallsRefused(h);
    ExpectCloseRefused(h);
  }
  for (HANDLE h : {static_cast<HANDLE>(nullptr), live, reinterpret_cast<HANDLE>(&liveValue)}) {
    SetLastError(0);
    EXPECT_FALSE(DeactivateDevice(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(fake::Calls(), 0);
  EXPECT_TRUE(sim::DeviceClose(live));
  ASSERT_TRUE(Deactivate(device_));
  EXPECT_FALSE(DeactivateDevice(device_)) << "a second deactivation";
  EXPECT_EQ(fake::S().deinits, 1);
}

// ---- Close and deactivation while calls are in flight
// --------------------------------------------

class InFlightTest : public HandleTest, public ::testing::WithParamInterface<Blocking> {
 protected:
  void BlockAll() { fake::S().blockRead = fake::S().blockWrite = fake::S().blockWait = true; }
  static const char* EndName(Blocking kind) {
    return kind == Blocking::Read ? "read-end" : kind == Blocking::Write ? "write-end" : "wait-end";
  }
};

TEST_P(InFlightTest, CloseEndsTheBlockedCallWaitsForItThenCloses) {
  BlockAll();
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD result = 0;
  DWORD error = 0;
  std::thread caller = StartBlockingCall(h, GetParam(), &result, &error);
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().blocked == 1; }));
  fake::S().log.clear();

  EXPECT_TRUE(sim::DeviceClose(h));
  caller.join();
  EXPECT_EQ(fake::S().log, (std::vector<std::string>{"notice", EndName(GetParam()), "close"}));
  EXPECT_EQ(fake::S().closeWhileRunning, 0);
  if (GetParam() == Blocking::Read) {
    EXPECT_EQ(result, static_cast<DWORD>(-1));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
}

TEST_P(InFlightTest, DeactivationEndsCallsOnEveryHandleBeforeCloseAndDeinit) {
  BlockAll();
  HANDLE a = Open();
  HANDLE b = sim::DeviceOpen(TEXT("FAK1:"), 0, 0);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  std::thread callerA = StartBlockingCall(a, GetParam());
  std::thread callerB = StartBlockingCall(b, Blocking::Wait);
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().blocked == 2; }));

  // As the host stack's removal notice would: from a thread of its own.
  BOOL deactivated = FALSE;
  std::thread remover([&] { deactivated = Deactivate(device_); });
  remover.join();
  EXPECT_TRUE(deactivated);
  callerA.join();
  callerB.join();
  EXPECT_EQ(fake::S().deinits, 1);
  EXPECT_EQ(fake::S().closes, 2);
  EXPECT_EQ(fake::S().deinitWhileRunning, 0);
  EXPECT_EQ(fake::S().closeWhileRunning, 0);
  EXPECT_EQ(fake::S().log.back(), "deinit");

  BYTE buffer[4];
  EXPECT_EQ(sim::DeviceRead(a, buffer, 4), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(sim::DeviceClose(a));
  EXPECT_TRUE(sim::DeviceClose(b));
  EXPECT_EQ(fake::S().callsOnClosed, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, InFlightTest,
                         ::testing::Values(Blocking::Read, Blocking::Write, Blocking::Wait),
                         [](const auto& info) {
                           return info.param == Blocking::Read    ? "Read"
                                  : info.param == Blocking::Write ? "Write"
                                                                  : "Wait";
                         });

TEST_F(HandleTest, NewCallsAreRefusedWhileACloseWaitsForTheCallsInFlight) {
  fake::S().returnDelayMs = 300;
  HANDLE h = nullptr;
  std::thread reader = StartBlockedRead(&h);
  auto start = Clock::now();
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_TRUE(sim::DeviceClose(h));
    closed = true;
  });
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().opensMade[0].notices >= 1; }));
  BYTE buffer[4];
  EXPECT_EQ(sim::DeviceRead(h, buffer, 4), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(fake::S().reads, 1);
  EXPECT_FALSE(closed.load());
  closer.join();
  reader.join();
  EXPECT_GE(Clock::now() - start, 280ms);
  EXPECT_EQ(fake::S().closeWhileRunning, 0);
}

TEST_F(HandleTest, NoticeIsRepeatedForACallThatMissedTheFirstOne) {
  fake::S().ignoreNotices = 1;
  HANDLE h = nullptr;
  std::thread reader = StartBlockedRead(&h);
  auto start = Clock::now();
  EXPECT_TRUE(sim::DeviceClose(h));
  auto took = Clock::now() - start;
  reader.join();
  // Repeated every 100 ms until the call has left, which a busy machine delays: at least once
  // more, and no more often than that.
  const int notices = fake::S().opensMade[0].notices;
  EXPECT_GE(notices, 2);
  EXPECT_LE(notices, 1 + took / 100ms);
  EXPECT_GE(took, 90ms);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(fake::S().closeWhileRunning, 0);
}

TEST_F(HandleTest, OpenRacingWithDeactivationIsClosedBeforeDeinit) {
  fake::S().blockOpen = true;
  HANDLE opened = nullptr;
  DWORD error = 0;
  std::thread opener([&] {
    opened = Open();
    error = GetLastError();
  });
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().blocked == 1; }));
  std::thread remover([&] { EXPECT_TRUE(Deactivate(device_)); });
  // Deactivation marks the device going at once, then waits for the open in flight.
  auto deadline = Clock::now() + 5s;
  while (sim::ActiveDeviceCount() != 0 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(fake::S().deinits, 0);
  {
    std::lock_guard<std::mutex> lock(fake::S().lock);
    fake::S().releaseOpen = true;
  }
  fake::S().changed.notify_all();
  opener.join();
  remover.join();
  EXPECT_EQ(opened, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
  EXPECT_EQ(fake::S().log, (std::vector<std::string>{"init", "open", "close", "deinit"}));
  EXPECT_EQ(sim::ApplicationHandleCount(), 0u);
}

TEST_F(HandleTest, DeactivationWaitsForACloseAnApplicationBegan) {
  fake::S().returnDelayMs = 200;
  HANDLE h = nullptr;
  std::thread reader = StartBlockedRead(&h);
  std::thread closer([h] { EXPECT_TRUE(sim::DeviceClose(h)); });
  // The application's close has sent its notice and waits for the read, which takes 200 ms more.
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().opensMade[0].notices == 1; }));
  EXPECT_TRUE(Deactivate(device_));
  closer.join();
  reader.join();
  // The notice is repeated while the read takes its time; only the first one matters here.
  std::vector<std::string> log = fake::S().log;
  auto firstNotice = std::find(log.begin(), log.end(), "notice");
  ASSERT_NE(firstNotice, log.end());
  log.erase(std::remove(firstNotice + 1, log.end(), "notice"), log.end());
  EXPECT_EQ(log,
            (std::vector<std::string>{"init", "open", "notice", "read-end", "close", "deinit"}));
  EXPECT_EQ(fake::S().deinitWhileRunning, 0);
  EXPECT_EQ(sim::ApplicationHandleCount(), 0u);
}

TEST_F(HandleTest, ManyCallersAgainstOneCloseNeverReachAClosedContext) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::thread> callers;
  std::atomic<int> refused{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      BYTE buffer[8];
      DWORD actual = 0;
      for (;;) {
        bool ok = t % 2 ? sim::DeviceIoControl(h, 0x222000, nullptr, 0, buffer, 8, &actual)
                        : sim::DeviceRead(h, buffer, 8) != static_cast<DWORD>(-1);
        if (!ok) {
          if (GetLastError() == static_cast<DWORD>(ERROR_INVALID_HANDLE)) ++refused;
          return;
        }
      }
    });
  }
  ASSERT_TRUE(fake::WaitFor([] { return fake::S().reads > 50 && fake::S().ioctls > 50; }));
  std::atomic<int> closedOk{0};
  std::thread closer1([&] { closedOk += sim::DeviceClose(h) ? 1 : 0; });
  std::thread closer2([&] { closedOk += sim::DeviceClose(h) ? 1 : 0; });
  closer1.join();
  closer2.join();
  for (auto& c : callers) c.join();
  EXPECT_EQ(closedOk.load(), 1) << "exactly one close succeeds";
  EXPECT_EQ(refused.load(), 4);
  EXPECT_EQ(fake::S().closes, 1);
  EXPECT_EQ(fake::S().callsOnClosed, 0);
  EXPECT_EQ(fake::S().closeWhileRunning, 0);
}

}  // namespace
