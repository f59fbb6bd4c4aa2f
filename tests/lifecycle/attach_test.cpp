// Attach and detach against a scripted host stack: which devices are taken, what a refusal leaves
// behind (nothing), and how detach waits for open ports.
#include "usb/attach.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/ce_serial.h"
#include "sim/devmgr/sim_devmgr.h"
#include "tests/bridge/bridge_rig.h"
#include "tests/lifecycle/fake_host.h"
#include "tests/lifecycle/heap_count.h"
#include "usb/registration.h"

namespace {

using Clock = std::chrono::steady_clock;
using fakehost::Device;

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
  ASSERT_TRUE(ApplyRegistryValues(path, values, REGISTRY_WRITE, TRUE));
}

class AttachTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::InstallLinkedDriver();  // the linked driver as the device manager's "Tollaverk"
    WritePortKey(kPort0);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort1);
    liveBefore = testheap::LiveBlocks();
  }

  void TearDown() override { EXPECT_EQ(sim::ActiveDeviceCount(), 0u); }

  BOOL Attach(Device& device) {
    accepted = 2;
    USB_HANDLE handle = fakehost::Plug(&device);
    lastResult = DeviceAttach(handle, fakehost::Funcs(), nullptr, TEXT("Tollaverk"), &accepted,
                              fakehost::Settings(), 0);
    return lastResult;
  }

  // A refused device leaves nothing: no block, pipe, transfer, stream device or registration.
  void ExpectNothingLeft(Device& device) {
    EXPECT_EQ(accepted, lastResult);
    EXPECT_EQ(device.openPipes, 0);
    EXPECT_EQ(device.openTransfers, 0);
    EXPECT_EQ(device.registered, 0);
    EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
    EXPECT_EQ(testheap::LiveBlocks(), liveBefore);
  }

  // Runs the removal notification on its own thread, as the host stack does.
  std::future<BOOL> Unplug(Device& device) {
    return std::async(std::launch::async, [&device] {
      return device.notify(device.notifyContext, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr,
                           nullptr);
    });
  }

  BOOL accepted = 2;
  BOOL lastResult = FALSE;
  size_t liveBefore = 0;
};

Device OneInterface() {
  Device d;
  d.interfaces = {fakehost::BridgeInterface(0)};
  return d;
}

TEST_F(AttachTest, OneInterfaceYieldsOnePortAndDetachWithoutOpenPortsDoesNotWait) {
  Device device = OneInterface();
  ASSERT_TRUE(Attach(device));
  EXPECT_EQ(accepted, TRUE);
  EXPECT_EQ(sim::ActiveDeviceNames(), std::vector<std::string>{"COM1:"});
  EXPECT_EQ(device.openPipes, 2);
  EXPECT_EQ(device.registered, 1);
  // Product string 2, then serial string 3 (part number 2), each as header and full read.
  EXPECT_EQ(device.descriptorIndices, (std::vector<UCHAR>{2, 2, 3, 3}));

  Clock::time_point start = Clock::now();
  EXPECT_TRUE(Unplug(device).get());
  long long took = MillisecondsSince(start);
  EXPECT_GE(took, 1000);
  // No waiting for closes, no receive thread left to terminate: that would add the 3000 ms stop
  // limit to the 1000 ms settle.
  EXPECT_LT(took, 3900);
  ExpectNothingLeft(device);
}

TEST_F(AttachTest, SecondPortNeedsItsKeyAndThenStandsBesideTheFirst) {
  Device device;
  device.interfaces = {fakehost::BridgeInterface(0), fakehost::BridgeInterface(1)};
  EXPECT_FALSE(Attach(device));
  // Port 0's stream device was activated first; the refusal deactivated it again.
  ExpectNothingLeft(device);

  WritePortKey(kPort1);
  Device again;
  again.interfaces = {fakehost::BridgeInterface(0), fakehost::BridgeInterface(1)};
  ASSERT_TRUE(Attach(again));
  EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"COM1:", "COM2:"}));
  EXPECT_EQ(again.openedEndpoints, (std::vector<UCHAR>{0x81, 0x01, 0x82, 0x02}));
  EXPECT_TRUE(Unplug(again).get());
  ExpectNothingLeft(again);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort1);
}

TEST_F(AttachTest, ConfigurationsWithoutOneOrTwoInterfacesAreRefused) {
  Device three;
  three.interfaces = {fakehost::BridgeInterface(0), fakehost::BridgeInterface(1),
                      fakehost::BridgeInterface(2)};
  EXPECT_FALSE(Attach(three));
  EXPECT_EQ(three.pipeCalls, 0);
  ExpectNothingLeft(three);

  Device none;
  EXPECT_FALSE(Attach(none));
  ExpectNothingLeft(none);

  Device noInfo = OneInterface();
  noInfo.noDeviceInfo = true;
  EXPECT_FALSE(Attach(noInfo));
  ExpectNothingLeft(noInfo);
}

TEST_F(AttachTest, FirstBulkEndpointOfEachDirectionIsUsedAndBothAreRequired) {
  Device mixed;
  mixed.interfaces = {fakehost::Interface{}};
  mixed.interfaces[0].endpoints = {fakehost::Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT),
                                   fakehost::Endpoint(0x81, USB_ENDPOINT_TYPE_BULK),
                                   fakehost::Endpoint(0x02, USB_ENDPOINT_TYPE_BULK),
                                   fakehost::Endpoint(0x84, USB_ENDPOINT_TYPE_BULK)};
  ASSERT_TRUE(Attach(mixed));
  EXPECT_EQ(mixed.openedEndpoints, (std::vector<UCHAR>{0x81, 0x02}));
  EXPECT_TRUE(Unplug(mixed).get());
  ExpectNothingLeft(mixed);

  Device noOut;
  noOut.interfaces = {fakehost::Interface{}};
  noOut.interfaces[0].endpoints = {fakehost::Endpoint(0x81, USB_ENDPOINT_TYPE_BULK),
                                   fakehost::Endpoint(0x02, USB_ENDPOINT_TYPE_INTERRUPT)};
  EXPECT_FALSE(Attach(noOut));
  ExpectNothingLeft(noOut);
}

TEST_F(AttachTest, FailuresAtEachBuildStepRefuseCleanly) {
  Device setInterface = OneInterface();
  setInterface.setInterfaceFails = true;
  EXPECT_FALSE(Attach(setInterface));
  ExpectNothingLeft(setInterface);

  for (int failAt = 0; failAt < 2; ++failAt) {
    Device pipe = OneInterface();
    pipe.openPipeFailAt = failAt;
    EXPECT_FALSE(Attach(pipe)) << "pipe " << failAt;
    ExpectNothingLeft(pipe);
  }

  // The last step: the receive thread already runs and the stream device is active. The refusal
  // releases the thread (no 3 s termination) and deactivates the stream device.
  Device notify = OneInterface();
  notify.registerFails = true;
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(Attach(notify));
  EXPECT_LT(MillisecondsSince(start), 2500);
  ExpectNothingLeft(notify);
}

TEST_F(AttachTest, PartNumberFiveReadsTheSerialStringFromIndexFive) {
  Device device = OneInterface();
  device.partNumber = 5;
  ASSERT_TRUE(Attach(device));
  EXPECT_EQ(device.descriptorIndices, (std::vector<UCHAR>{2, 2, 5, 5}));
  EXPECT_TRUE(Unplug(device).get());
  ExpectNothingLeft(device);
}

TEST_F(AttachTest, ProductStringIsStoredAsTheDeviceSentIt) {
  Device device = OneInterface();
  std::vector<BYTE> product = fakehost::StringDescriptor("Tv");
  device.strings[2].full = product;
  device.strings[2].header = {product[0], product[1]};
  ASSERT_TRUE(Attach(device));
  HANDLE h = sim::DeviceOpen(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE out[64] = {};
  DWORD got = 0;
  ASSERT_TRUE(sim::DeviceIoControl(h, kProductStringCode, nullptr, 0, out, sizeof(out), &got));
  EXPECT_EQ(std::vector<BYTE>(out, out + product.size()), product);
  EXPECT_EQ(out[product.size()], 0);  // nothing beyond the stored descriptor
  EXPECT_TRUE(sim::DeviceClose(h));
  EXPECT_TRUE(Unplug(device).get());
  ExpectNothingLeft(device);
}

TEST_F(AttachTest, StringWithoutHeaderAnswerIsLeftOutButTheDeviceIsTaken) {
  Device device = OneInterface();
  device.strings[2].noTransfer = true;
  ASSERT_TRUE(Attach(device));
  HANDLE h = sim::DeviceOpen(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE out[64] = {};
  DWORD got = 0;
  EXPECT_FALSE(sim::DeviceIoControl(h, kProductStringCode, nullptr, 0, out, sizeof(out), &got));
  EXPECT_TRUE(sim::DeviceClose(h));
  EXPECT_TRUE(Unplug(device).get());
  ExpectNothingLeft(device);
}

struct MalformedString {
  const char* what;
  fakehost::StringAnswer answer;
};

class MalformedStringTest : public AttachTest,
                            public ::testing::WithParamInterface<MalformedString> {};

TEST_P(MalformedStringTest, RefusesTheDeviceAndLeavesNothing) {
  Device device = OneInterface();
  device.strings[3] = GetParam().answer;
  EXPECT_FALSE(Attach(device));
  ExpectNothingLeft(device);
}

fakehost::StringAnswer Answer(std::vector<BYTE> header, std::vector<BYTE> full,
                              bool secondNoTransfer = false) {
  fakehost::StringAnswer a;
  a.header = std::move(header);
  a.full = std::move(full);
  a.secondNoTransfer = secondNoTransfer;
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, MalformedStringTest,
    ::testing::Values(MalformedString{"LengthZero", Answer({0, 3}, {0, 3})},
                      MalformedString{"LengthOne", Answer({1, 3}, {1, 3})},
                      MalformedString{"HeaderOneByte", Answer({8}, {8, 3, 'a', 0, 'b', 0, 'c', 0})},
                      MalformedString{"WrongType", Answer({8, 4}, {8, 4, 'a', 0, 'b', 0, 'c', 0})},
                      MalformedString{"SecondReadShort", Answer({8, 3}, {8, 3, 'a', 0})},
                      MalformedString{"SecondReadOtherLength",
                                      Answer({8, 3}, {6, 3, 'a', 0, 'b', 0, 0, 0})},
                      MalformedString{"SecondReadGivesNoTransfer", Answer({8, 3}, {}, true)}),
    [](const ::testing::TestParamInfo<MalformedString>& info) { return info.param.what; });

TEST_F(AttachTest, DetachWithThePortOpenEndsItsCallsAndWaitsForTheClose) {
  Device device = OneInterface();
  ASSERT_TRUE(Attach(device));
  HANDLE h = sim::DeviceOpen(TEXT("COM1:"), GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  // A read without time-outs blocks until detach ends it.
  COMMTIMEOUTS none{};
  DWORD got = 0;
  ASSERT_TRUE(sim::DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<PBYTE>(&none),
                                   sizeof(none), nullptr, 0, &got));
  std::promise<void> reading;
  std::future<DWORD> read = std::async(std::launch::async, [&] {
    BYTE buffer[16];
    reading.set_value();
    return sim::DeviceRead(h, buffer, sizeof(buffer));
  });
  reading.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the read block

  std::future<BOOL> detach = Unplug(device);
  EXPECT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(read.get(), static_cast<DWORD>(-1));
  // Every port was open: detach waits for the application's close, however long it takes.
  EXPECT_EQ(detach.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);

  Clock::time_point closed = Clock::now();
  EXPECT_TRUE(sim::DeviceClose(h));
  EXPECT_TRUE(detach.get());
  EXPECT_GE(MillisecondsSince(closed), 1000);
  ExpectNothingLeft(device);
}

TEST_F(AttachTest, NotificationIgnoresOtherCodesAndForeignContexts) {
  Device device = OneInterface();
  ASSERT_TRUE(Attach(device));
  EXPECT_FALSE(DeviceNotify(nullptr, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
  DWORD foreign[8] = {0x12345678};
  EXPECT_FALSE(DeviceNotify(foreign, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(device.notify(device.notifyContext, 2, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(sim::ActiveDeviceCount(), 1u);
  EXPECT_TRUE(Unplug(device).get());
  ExpectNothingLeft(device);
}

}  // namespace
