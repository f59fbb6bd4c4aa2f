// What the bridge port puts on the control endpoint: setup packets and data stages, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/bridge/bridge_rig.h"

using bridgetest::BridgeRig;
using bridgetest::DefaultDcb;
using Bytes = std::vector<BYTE>;

namespace {

struct Expected {
  BYTE type;
  BYTE request;
  WORD value;
  WORD index;
  WORD length;
};

void ExpectSetup(const wirehost::Request& r, Expected e) {
  EXPECT_EQ(r.setup.bmRequestType, e.type);
  EXPECT_EQ(r.setup.bRequest, e.request);
  EXPECT_EQ(r.setup.wValue, e.value);
  EXPECT_EQ(r.setup.wIndex, e.index);
  EXPECT_EQ(r.setup.wLength, e.length);
  EXPECT_EQ(r.flags, (e.type & 0x80) ? 0x1080u : 0x1000u);
}

DWORD FlowReplace(const wirehost::Request& r) {
  DWORD v;
  std::memcpy(&v, r.data.data() + 4, 4);
  return v;
}
DWORD ControlHandshake(const wirehost::Request& r) {
  DWORD v;
  std::memcpy(&v, r.data.data(), 4);
  return v;
}

DCB ZeroDcb() {
  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  return dcb;
}

// The flow record that SetLineSettings sends for dcb.
wirehost::Request FlowOf(BridgeRig& rig, const DCB& dcb) {
  rig.host.ClearLog();
  EXPECT_TRUE(BridgePortOps.SetLineSettings(rig.port, &dcb));
  auto log = rig.host.Requests();
  EXPECT_EQ(log.size(), 4u);
  return log.size() > 2 ? log[2] : wirehost::Request{};
}

}  // namespace

TEST(BridgeLineSettings, DefaultsGiveTheFourRequestsInOrder) {
  BridgeRig rig;
  DCB dcb = DefaultDcb();
  ASSERT_TRUE(BridgePortOps.SetLineSettings(rig.port, &dcb));
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 4u);
  ExpectSetup(log[0], {0x41, ReqBaudRate, 0, 0, 4});
  EXPECT_EQ(log[0].data, (Bytes{0x80, 0x25, 0x00, 0x00}));
  ExpectSetup(log[1], {0x41, ReqLineControl, 0x0800, 0, 0});
  ExpectSetup(log[2], {0x41, ReqFlow, 0, 0, 16});
  EXPECT_EQ(log[2].data, (Bytes{0x01, 0, 0, 0, 0x40, 0, 0, 0, 0x00, 0x02, 0, 0, 0x80, 0, 0, 0}));
  ExpectSetup(log[3], {0x41, ReqSpecialChars, 0, 0, 6});
  EXPECT_EQ(log[3].data, (Bytes{0x0D, 0x0D, 0x00, 0x0D, 0x11, 0x13}));
}

TEST(BridgeLineSettings, LineControlWordAndInterfaceIndex) {
  BridgeRig rig;
  rig.port->interfaceNumber = 1;
  DCB dcb = ZeroDcb();
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(BridgePortOps.SetLineSettings(rig.port, &dcb));
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 4u);
  ExpectSetup(log[0], {0x41, ReqBaudRate, 0, 1, 4});
  EXPECT_EQ(log[0].data, (Bytes{0x00, 0xC2, 0x01, 0x00}));
  ExpectSetup(log[1], {0x41, ReqLineControl, 0x0722, 1, 0});
}

TEST(BridgeLineSettings, FlowRecordCombinations) {
  BridgeRig rig;
  DCB dcb = ZeroDcb();
  dcb.fOutX = 1;
  EXPECT_EQ(FlowReplace(FlowOf(rig, dcb)), 0x01u);
  dcb = ZeroDcb();
  dcb.fInX = 1;
  EXPECT_EQ(FlowReplace(FlowOf(rig, dcb)), 0x02u);
  dcb.fOutX = 1;
  EXPECT_EQ(FlowReplace(FlowOf(rig, dcb)), 0x03u);

  dcb = ZeroDcb();
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fOutxCtsFlow = 1;
  dcb.fDsrSensitivity = 1;
  auto flow = FlowOf(rig, dcb);
  EXPECT_EQ(ControlHandshake(flow), 0x4Au);
  EXPECT_EQ(FlowReplace(flow), 0u);

  dcb = ZeroDcb();
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fTXContinueOnXoff = 1;
  EXPECT_EQ(FlowReplace(FlowOf(rig, dcb)), 0x800000C0u);

  // Error character, null stripping, RTS handshake, DSR handshake; fBinary, fParity and
  // fAbortOnError are not sent.
  dcb = ZeroDcb();
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fOutxDsrFlow = 1;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 0xFFFF;
  dcb.XoffLim = 0x8001;
  flow = FlowOf(rig, dcb);
  EXPECT_EQ(ControlHandshake(flow), 0x10u);
  EXPECT_EQ(FlowReplace(flow), 0x8Cu);
  EXPECT_EQ(Bytes(flow.data.begin() + 8, flow.data.end()),
            (Bytes{0xFF, 0xFF, 0, 0, 0x01, 0x80, 0, 0}));
}

TEST(BridgeLineSettings, StopsAtTheFirstFailedRequest) {
  BridgeRig rig;
  DCB dcb = DefaultDcb();
  rig.host.FailNext(ReqBaudRate, 1);
  EXPECT_FALSE(BridgePortOps.SetLineSettings(rig.port, &dcb));
  EXPECT_EQ(rig.host.RequestCount(), 1u);

  rig.host.ClearLog();
  rig.host.FailNext(ReqFlow, 1);
  EXPECT_FALSE(BridgePortOps.SetLineSettings(rig.port, &dcb));
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].setup.bRequest, ReqFlow);
  EXPECT_EQ(GetLastError(), 31u);
}

TEST(BridgeRequests, LineAndCharacterSlots) {
  BridgeRig rig;
  rig.port->interfaceNumber = 1;
  BridgePortOps.SetDtr(rig.port);
  BridgePortOps.ClearDtr(rig.port);
  BridgePortOps.SetRts(rig.port);
  BridgePortOps.ClearRts(rig.port);
  BridgePortOps.SetBreak(rig.port);
  BridgePortOps.ClearBreak(rig.port);
  BridgePortOps.SendImmediate(rig.port, 0xA5);
  BridgePortOps.Reset(rig.port);
  BridgePortOps.Purge(rig.port, 0x10F);
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 9u);
  ExpectSetup(log[0], {0x41, ReqModemHandshake, 0x0101, 1, 0});
  ExpectSetup(log[1], {0x41, ReqModemHandshake, 0x0100, 1, 0});
  ExpectSetup(log[2], {0x41, ReqModemHandshake, 0x0202, 1, 0});
  ExpectSetup(log[3], {0x41, ReqModemHandshake, 0x0200, 1, 0});
  ExpectSetup(log[4], {0x41, ReqBreak, 1, 1, 0});
  ExpectSetup(log[5], {0x41, ReqBreak, 0, 1, 0});
  ExpectSetup(log[6], {0x41, ReqImmediateChar, 0xA5, 1, 0});
  ExpectSetup(log[7], {0x41, ReqReset, 0, 1, 0});
  // Only the low 8 bits of the purge flags reach the bridge.
  ExpectSetup(log[8], {0x41, ReqPurge, 0x0F, 1, 0});
}

TEST(BridgeRequests, StatusReadsAndTheirFailures) {
  BridgeRig rig;
  rig.host.SetModemStatus(0x30);
  DWORD modem = 0;
  BridgePortOps.GetModemStatus(rig.port, &modem);
  EXPECT_EQ(modem, 0x30u);
  EXPECT_EQ(rig.port->modemStatus, 0u);  // the poll's reference is not disturbed

  Bytes properties(64);
  for (size_t i = 0; i < properties.size(); ++i) properties[i] = (BYTE)(i + 1);
  rig.host.SetProperties(properties);
  COMMPROP prop;
  std::memset(&prop, 0, sizeof(prop));
  BridgePortOps.GetProperties(rig.port, &prop);
  EXPECT_EQ(0, std::memcmp(&prop, properties.data(), 64));

  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 2u);
  ExpectSetup(log[0], {0xC1, ReqModemStatus, 0, 0, 1});
  ExpectSetup(log[1], {0xC1, ReqProperties, 0, 0, 64});

  // A failed read leaves the caller's buffers as the core prepared them.
  rig.host.FailAll(true);
  modem = 0;
  BridgePortOps.GetModemStatus(rig.port, &modem);
  EXPECT_EQ(modem, 0u);
  std::memset(&prop, 0, sizeof(prop));
  BridgePortOps.GetProperties(rig.port, &prop);
  EXPECT_EQ(prop.wPacketLength, 0u);
  EXPECT_EQ(prop.dwProvSpec2, 0u);
}

TEST(BridgePartNumber, EndpointRuleQueryAndFailure) {
  BridgeRig rig;
  rig.port->inEndpoint = 0x83;
  rig.port->outEndpoint = 0x03;
  EXPECT_EQ(BridgeQueryPartNumber(rig.device), 1u);
  EXPECT_EQ(rig.host.RequestCount(), 0u);

  rig.port->inEndpoint = 0x81;
  rig.port->outEndpoint = 0x02;
  rig.host.SetPartNumber(0x04);
  EXPECT_EQ(BridgeQueryPartNumber(rig.device), 4u);
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 1u);
  ExpectSetup(log[0], {0xC0, ReqVendor, 0x370B, 0, 1});

  rig.host.FailNext(ReqVendor, 1);
  EXPECT_EQ(BridgeQueryPartNumber(rig.device), 0u);
  rig.device->ports[0] = nullptr;
  EXPECT_EQ(BridgeQueryPartNumber(rig.device), 0u);
  rig.device->ports[0] = rig.port;
}

TEST(BridgeLatch, PartNumberOneHasNoLatchRequests) {
  BridgeRig rig;
  rig.device->partNumber = 1;
  BYTE in[2] = {0x0F, 0x05};
  BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlGetPartNumber, nullptr, 0, out, 1, nullptr));
  EXPECT_EQ(out[0], 1u);
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlReadLatch, nullptr, 0, out, 1, nullptr));
  EXPECT_EQ(BridgeWriteLatch(rig.port, 0xFF, 0), (DWORD)ERROR_NOT_SUPPORTED);
  EXPECT_EQ(rig.host.RequestCount(), 0u);

  rig.device->partNumber = 7;  // unknown
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  EXPECT_EQ(BridgeReadLatch(rig.port, out), (DWORD)ERROR_NOT_SUPPORTED);
  EXPECT_EQ(rig.host.RequestCount(), 0u);
}

TEST(BridgeLatch, DeviceFormOnPartNumberFour) {
  BridgeRig rig;
  rig.device->partNumber = 4;
  rig.port->interfaceNumber = 1;
  rig.host.SetLatch(0xF0);
  BYTE in[2] = {0x0F, 0x05};
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  BYTE out[1] = {0};
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlReadLatch, nullptr, 0, out, 1, nullptr));
  EXPECT_EQ(out[0], 0xF5u);
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 2u);
  ExpectSetup(log[0], {0x40, ReqVendor, 0x37E1, 0x050F, 0});
  EXPECT_TRUE(log[0].data.empty());
  ExpectSetup(log[1], {0xC0, ReqVendor, 0x00C2, 0, 1});
}

TEST(BridgeLatch, InterfaceFormOnPartNumberFive) {
  BridgeRig rig;
  rig.device->partNumber = 5;
  rig.port->interfaceNumber = 1;
  BYTE in[2] = {0x0F, 0x05};
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  BYTE out[1] = {0};
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlReadLatch, nullptr, 0, out, 1, nullptr));
  EXPECT_EQ(out[0], 0x05u);
  auto log = rig.host.Requests();
  ASSERT_EQ(log.size(), 2u);
  ExpectSetup(log[0], {0x41, ReqVendor, 0x37E1, 1, 2});
  EXPECT_EQ(log[0].data, (Bytes{0x0F, 0x05}));
  ExpectSetup(log[1], {0xC1, ReqVendor, 0x00C2, 1, 1});

  // A failing request fails the code.
  rig.host.FailNext(ReqVendor, 1);
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));
}

TEST(BridgeControl, ShortAndMissingBuffersAreRefusedWithoutRequests) {
  BridgeRig rig;
  rig.device->partNumber = 4;
  BYTE in[2] = {0x0F, 0x05};
  BYTE out[2] = {0x77, 0x77};
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 1, nullptr, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlWriteLatch, nullptr, 2, nullptr, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlReadLatch, nullptr, 0, out, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlReadLatch, nullptr, 0, nullptr, 1, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlGetPartNumber, nullptr, 0, out, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, 0x222014, in, 2, out, 2, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, IOCTL_POWER_GET, in, 2, out, 2, nullptr));
  EXPECT_EQ(out[0], 0x77u);
  EXPECT_EQ(rig.host.RequestCount(), 0u);
}

TEST(BridgeControl, StringCodesCopyNoMoreThanWasStored) {
  BridgeRig rig;
  // A serial string of 10 bytes, stored whole.
  Bytes serial{10, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0};
  rig.device->serialString = BridgeRig::StoredString(serial, 10);
  BYTE out[64];
  std::memset(out, 0xEE, sizeof(out));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlGetSerialString, nullptr, 0, out, 9, nullptr));
  EXPECT_EQ(out[0], 0xEEu);
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlGetSerialString, nullptr, 0, out, 10, nullptr));
  EXPECT_EQ(Bytes(out, out + 10), serial);
  EXPECT_EQ(out[10], 0xEEu);

  // A product descriptor whose first byte claims 200 bytes, in a 6-byte block: 6 bytes at most.
  rig.device->productString = BridgeRig::StoredString(Bytes{200, 3, 'X', 0, 'Y', 0}, 6);
  std::memset(out, 0xEE, sizeof(out));
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlGetProductString, nullptr, 0, out, 5, nullptr));
  EXPECT_TRUE(BridgePortOps.Control(rig.port, CtlGetProductString, nullptr, 0, out, 64, nullptr));
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{200, 3, 'X', 0, 'Y', 0}));
  EXPECT_EQ(out[6], 0xEEu);

  // A missing string fails its code.
  LocalFree(rig.device->serialString);
  rig.device->serialString = nullptr;
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlGetSerialString, nullptr, 0, out, 64, nullptr));
  EXPECT_EQ(rig.host.RequestCount(), 0u);
}

TEST(BridgeRequests, DetachedDeviceFailsEveryRequestWithoutTraffic) {
  BridgeRig rig;
  rig.device->partNumber = 4;
  rig.MarkDetached();
  DCB dcb = DefaultDcb();
  EXPECT_FALSE(BridgePortOps.SetLineSettings(rig.port, &dcb));
  SetLastError(0);
  EXPECT_EQ(BridgeEnable(rig.port), 6u);
  EXPECT_EQ(GetLastError(), 0u);  // the last error is not touched
  BYTE b = 0;
  EXPECT_EQ(BridgeReadLatch(rig.port, &b), 6u);
  EXPECT_EQ(BridgeGetCommStatus(rig.port, rig.port->commStatus), 6u);
  BridgePortOps.SetDtr(rig.port);
  BridgePortOps.SetBreak(rig.port);
  BridgePortOps.Purge(rig.port, PURGE_RXCLEAR);
  DWORD modem = 0;
  BridgePortOps.GetModemStatus(rig.port, &modem);
  EXPECT_FALSE(BridgePortOps.Open(rig.port));
  EXPECT_EQ(GetLastError(), 5u);
  BYTE in[2] = {1, 1};
  EXPECT_FALSE(BridgePortOps.Control(rig.port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  EXPECT_EQ(rig.host.RequestCount(), 0u);
}

TEST(BridgeRequests, RequestWaitingForTheLockSeesTheDetach) {
  BridgeRig rig;
  EnterCriticalSection(&rig.device->lock);
  DWORD result = 0;
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread waiter([&] {
    SetEvent(started);
    DCB dcb = DefaultDcb();
    result = BridgePortOps.SetLineSettings(rig.port, &dcb) ? 1 : 0;
  });
  WaitForSingleObject(started, INFINITE);
  Sleep(20);  // give the waiter time to block on the lock; the result holds either way
  rig.device->detached = 1;
  LeaveCriticalSection(&rig.device->lock);
  waiter.join();
  CloseHandle(started);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(rig.host.RequestCount(), 0u);
}
