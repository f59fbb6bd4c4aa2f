// Attach and detach on a modelled bridge: which devices are taken, what attach reads and opens,
// what a refusal or a removal leaves behind (nothing), and the host stack's own refusals (no
// device information, no transfer, no pipe, no notification), which no bridge can cause. Removal
// with ports open, and the faults the bridge model injects at each attach step, are in the
// end-to-end lifecycle suite.
#include "usb/attach.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/ce_serial.h"
#include "sim/devmgr/sim_devmgr.h"
#include "tests/bridge/bridge_rig.h"
#include "tests/lifecycle/leak_check.h"
#include "usb/registration.h"

namespace {

using Clock = std::chrono::steady_clock;

const WCHAR kPort0[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port0\\4292_60000");
const WCHAR kPort1[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port1\\4292_60000");
const DWORD kProductStringCode = 0x22200C;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void WritePortKey(LPCWSTR path) {
  RegistryValue values[] = {
      {TEXT("Dll"), REG_SZ, 0, const_cast<WCHAR*>(TEXT("Tollaverk"))},
      {TEXT("Prefix"), REG_SZ, 0, const_cast<WCHAR*>(TEXT("COM"))},
      {nullptr, 0, 0, nullptr},
  };
  ASSERT_TRUE(ApplyRegistryValues(path, values, RegistryWrite, TRUE));
}

// The simulated host stack's operations with some of them refusing: the host stack's own
// refusals (no device information, no transfer, no pipe, no notification), which no bridge causes.
struct Refusals {
  bool deviceInfo = false;
  bool setInterface = false;
  int openPipeAt = -1;    // 0-based OpenPipe call that gives no pipe
  int descriptorAt = -1;  // 0-based GetDescriptor call that gives no transfer
  bool registerNotify = false;
  // Observed.
  int pipeCalls = 0;
  int descriptorCalls = 0;
};
Refusals refusals;  // attach runs on the test's thread: no lock needed

LPCUSB_DEVICE RefusingDeviceInfo(USB_HANDLE device) {
  return refusals.deviceInfo ? nullptr : sim::UsbFuncs()->lpGetDeviceInfo(device);
}
USB_TRANSFER RefusingSetInterface(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                                  LPVOID parameter, DWORD flags, UCHAR number, UCHAR alternate) {
  if (refusals.setInterface) return nullptr;
  return sim::UsbFuncs()->lpSetInterface(device, routine, parameter, flags, number, alternate);
}
USB_PIPE RefusingOpenPipe(USB_HANDLE device, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
  if (refusals.pipeCalls++ == refusals.openPipeAt) return nullptr;
  return sim::UsbFuncs()->lpOpenPipe(device, endpoint);
}
USB_TRANSFER RefusingGetDescriptor(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                                   LPVOID parameter, DWORD flags, UCHAR type, UCHAR index,
                                   WORD language, WORD length, LPVOID buffer) {
  if (refusals.descriptorCalls++ == refusals.descriptorAt) return nullptr;
  return sim::UsbFuncs()->lpGetDescriptor(device, routine, parameter, flags, type, index, language,
                                          length, buffer);
}
BOOL RefusingRegister(USB_HANDLE device, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context) {
  if (refusals.registerNotify) return FALSE;
  return sim::UsbFuncs()->lpRegisterNotificationRoutine(device, routine, context);
}

USB_FUNCS RefusingFuncs() {
  USB_FUNCS funcs = *sim::UsbFuncs();
  funcs.lpGetDeviceInfo = RefusingDeviceInfo;
  funcs.lpSetInterface = RefusingSetInterface;
  funcs.lpOpenPipe = RefusingOpenPipe;
  funcs.lpGetDescriptor = RefusingGetDescriptor;
  funcs.lpRegisterNotificationRoutine = RefusingRegister;
  return funcs;
}

class AttachTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::InstallLinkedDriver();  // the linked driver as the device manager's "Tollaverk"
    WritePortKey(kPort0);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort1);
    liveBefore = leakcheck::LiveBlocks();
  }
  void TearDown() override { EXPECT_EQ(sim::ActiveDeviceCount(), 0u); }

  // Plugs a modelled bridge that no registered client takes, then attaches the driver to it through
  // the refusing operations.
  BOOL Attach(Refusals r, unsigned interfaces = 1) {
    refusals = r;
    sim::BridgeConfig config = bridgetest::Unpaced(2, interfaces);
    config.productId = 0xEA61;
    model = sim::BridgeModel::Create(config);
    id = model->Plug();
    EXPECT_EQ(sim::LastAttachResult(id).status, sim::AttachResult::Status::NoDriver);
    funcs = RefusingFuncs();
    accepted = 2;
    lastResult = DeviceAttach(sim::DeviceHandle(id), &funcs, nullptr, TEXT("Tollaverk"), &accepted,
                              &DriverSettings, 0);
    return lastResult;
  }
  // Unplugs the bridge and waits until its removal (and the driver's detach) has finished.
  void Unplug() {
    ASSERT_TRUE(model->Unplug());
    ASSERT_TRUE(sim::WaitRemoved(id, 10000));
  }

  // A refused or removed device leaves nothing: no block, pipe, transfer, stream device or
  // registration.
  void ExpectNothingLeft() {
    EXPECT_EQ(accepted, lastResult);
    leakcheck::ExpectNothingLeft(liveBefore);
    if (model != nullptr && sim::IsPlugged(id)) Unplug();
  }

  std::shared_ptr<sim::BridgeModel> model;
  sim::UsbDeviceId id = 0;
  USB_FUNCS funcs{};
  BOOL accepted = FALSE;
  BOOL lastResult = FALSE;
  size_t liveBefore = 0;
};

// ---- On a modelled bridge -----------------------------------------------------------------------

using bridgetest::Bridge;
using bridgetest::BridgeLogEntry;
using bridgetest::Unpaced;

// Through the host stack's own attach of the registered client.
using AttachOnModel = AttachTest;

// String descriptor indices attach read, in order.
std::vector<UCHAR> DescriptorIndices(const std::vector<BridgeLogEntry>& log) {
  std::vector<UCHAR> out;
  for (const auto& e : log) {
    if (e.kind == BridgeLogEntry::Kind::Control && e.setup.bRequest == 0x06) {
      out.push_back(static_cast<UCHAR>(e.setup.wValue & 0xFF));
    }
  }
  return out;
}

TEST_F(AttachOnModel, OneInterfaceYieldsOnePortAndDetachWithoutOpenPortsDoesNotWait) {
  auto b = std::make_unique<Bridge>();
  ASSERT_TRUE(b->Attached());
  EXPECT_EQ(sim::ActiveDeviceNames(), std::vector<std::string>{"COM1:"});
  EXPECT_EQ(sim::LivePipes(), 2u);
  EXPECT_EQ(sim::LiveNotificationRoutines(), 1u);
  // Product string 2, then serial string 3 (part number 2), each as header and full read.
  EXPECT_EQ(DescriptorIndices(b->attachLog), (std::vector<UCHAR>{2, 2, 3, 3}));

  Clock::time_point start = Clock::now();
  ASSERT_TRUE(b->model->Unplug());
  ASSERT_TRUE(sim::WaitRemoved(b->id, 10000));
  long long took = MillisecondsSince(start);
  EXPECT_GE(took, 1000);
  // No waiting for closes, no receive thread left to terminate: that would add the 3000 ms stop
  // limit to the 1000 ms settle.
  EXPECT_LT(took, 3900);
  b.reset();
  ExpectNothingLeft();
}

TEST_F(AttachOnModel, SecondPortNeedsItsKeyAndThenStandsBesideTheFirst) {
  {
    Bridge refused(Unpaced(2, 2));
    EXPECT_FALSE(refused.Attached());
    // Port 0's stream device was activated first; the refusal deactivated it again.
    EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
    EXPECT_EQ(sim::LivePipes(), 0u);
  }
  WritePortKey(kPort1);
  {
    Bridge again(Unpaced(2, 2));
    ASSERT_TRUE(again.Attached());
    EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"COM1:", "COM2:"}));
    EXPECT_EQ(again.Port(0)->inEndpoint, 0x81u);
    EXPECT_EQ(again.Port(0)->outEndpoint, 0x01u);
    EXPECT_EQ(again.Port(1)->inEndpoint, 0x82u);
    EXPECT_EQ(again.Port(1)->outEndpoint, 0x02u);
    EXPECT_EQ(sim::LivePipes(), 4u);
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort1);
  ExpectNothingLeft();
}

TEST_F(AttachOnModel, FirstBulkEndpointOfEachDirectionIsUsedAndBothAreRequired) {
  sim::BridgeConfig mixed = Unpaced();
  mixed.endpoints = {{{0x83, USB_ENDPOINT_TYPE_INTERRUPT},
                      {0x81, USB_ENDPOINT_TYPE_BULK},
                      {0x02, USB_ENDPOINT_TYPE_BULK},
                      {0x84, USB_ENDPOINT_TYPE_BULK}}};
  {
    Bridge b(mixed);
    ASSERT_TRUE(b.Attached());
    EXPECT_EQ(b.Port()->inEndpoint, 0x81u);
    EXPECT_EQ(b.Port()->outEndpoint, 0x02u);
    EXPECT_EQ(sim::LivePipes(), 2u);
  }
  sim::BridgeConfig noOut = Unpaced();
  noOut.endpoints = {{{0x81, USB_ENDPOINT_TYPE_BULK}, {0x02, USB_ENDPOINT_TYPE_INTERRUPT}}};
  {
    Bridge b(noOut);
    EXPECT_FALSE(b.Attached());
  }
  ExpectNothingLeft();
}

TEST_F(AttachOnModel, PartNumberFiveReadsTheSerialStringFromIndexFive) {
  {
    Bridge b(Unpaced(5));
    ASSERT_TRUE(b.Attached());
    EXPECT_EQ(DescriptorIndices(b.attachLog), (std::vector<UCHAR>{2, 2, 5, 5}));
  }
  ExpectNothingLeft();
}

TEST_F(AttachOnModel, ProductStringIsStoredAsTheDeviceSentIt) {
  sim::BridgeConfig config = Unpaced();
  config.product = TEXT("Tv");
  {
    Bridge b(config);
    ASSERT_TRUE(b.Attached());
    HANDLE h = sim::DeviceOpen(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE out[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(sim::DeviceIoControl(h, kProductStringCode, nullptr, 0, out, sizeof(out), &got));
    const std::vector<BYTE> product{6, 3, 'T', 0, 'v', 0};
    EXPECT_EQ(std::vector<BYTE>(out, out + product.size()), product);
    EXPECT_EQ(out[product.size()], 0);  // nothing beyond the stored descriptor
    EXPECT_TRUE(sim::DeviceClose(h));
  }
  ExpectNothingLeft();
}

// The full read of a string answers fewer bytes than its header announced.
TEST_F(AttachOnModel, ShortSecondStringReadRefusesTheDevice) {
  {
    Bridge b(Unpaced(), [](bridgetest::BridgeModel& m) { m.ShortAnswerNext(0x06, 2, 2); });
    EXPECT_FALSE(b.Attached());
    EXPECT_EQ(DescriptorIndices(b.attachLog), (std::vector<UCHAR>{2, 2}));
  }
  ExpectNothingLeft();
}

TEST_F(AttachOnModel, NotificationIgnoresOtherCodesAndForeignContexts) {
  {
    Bridge b;
    ASSERT_TRUE(b.Attached());
    EXPECT_FALSE(DeviceNotify(nullptr, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    DWORD foreign[8] = {0x12345678};
    EXPECT_FALSE(DeviceNotify(foreign, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(DeviceNotify(b.Device(), 2, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(sim::ActiveDeviceCount(), 1u);
  }
  ExpectNothingLeft();
}

// ---- The host stack's refusals ------------------------------------------------------------------

TEST_F(AttachTest, ConfigurationsWithoutOneOrTwoInterfacesAreRefused) {
  EXPECT_FALSE(Attach({}, 3));
  EXPECT_EQ(refusals.pipeCalls, 0);
  ExpectNothingLeft();

  EXPECT_FALSE(Attach({}, 0));
  ExpectNothingLeft();

  EXPECT_FALSE(Attach({.deviceInfo = true}));
  ExpectNothingLeft();
}

TEST_F(AttachTest, FailuresAtEachBuildStepRefuseCleanly) {
  EXPECT_FALSE(Attach({.setInterface = true}));
  ExpectNothingLeft();

  for (int failAt = 0; failAt < 2; ++failAt) {
    EXPECT_FALSE(Attach({.openPipeAt = failAt})) << "pipe " << failAt;
    ExpectNothingLeft();
  }

  // The last step: the receive thread already runs and the stream device is active. The refusal
  // releases the thread (no 3 s termination) and deactivates the stream device.
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(Attach({.registerNotify = true}));
  EXPECT_LT(MillisecondsSince(start), 2500);
  ExpectNothingLeft();
}

TEST_F(AttachTest, StringWithoutHeaderAnswerIsLeftOutButTheDeviceIsTaken) {
  ASSERT_TRUE(Attach({.descriptorAt = 0}));  // the product string's header read
  EXPECT_EQ(accepted, TRUE);
  HANDLE h = sim::DeviceOpen(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE out[64] = {};
  DWORD got = 0;
  EXPECT_FALSE(sim::DeviceIoControl(h, kProductStringCode, nullptr, 0, out, sizeof(out), &got));
  EXPECT_TRUE(sim::DeviceClose(h));
  Unplug();
  ExpectNothingLeft();
}

TEST_F(AttachTest, SecondStringReadWithoutTransferRefusesTheDevice) {
  EXPECT_FALSE(Attach({.descriptorAt = 3}));  // the serial string's full read
  EXPECT_EQ(refusals.descriptorCalls, 4);
  ExpectNothingLeft();
}

}  // namespace
