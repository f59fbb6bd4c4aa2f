// What the bridge port puts on the control endpoint of a modelled bridge: setup packets, transfer
// flags and data stages, byte for byte, and what it refuses to send.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/bridge/bridge_rig.h"

using namespace bridgetest;

namespace {

struct Expected {
  BYTE type;
  BYTE request;
  WORD value;
  WORD index;
  WORD length;
};

void ExpectSetup(const BridgeLogEntry& r, Expected e) {
  EXPECT_EQ(r.setup.bmRequestType, e.type);
  EXPECT_EQ(r.setup.bRequest, e.request);
  EXPECT_EQ(r.setup.wValue, e.value);
  EXPECT_EQ(r.setup.wIndex, e.index);
  EXPECT_EQ(r.setup.wLength, e.length);
  EXPECT_EQ(r.flags, (e.type & 0x80) ? 0x1080u : 0x1000u);
}

DWORD Word(const BridgeLogEntry& r, size_t at) {
  DWORD v;
  std::memcpy(&v, r.data.data() + at, 4);
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
BridgeLogEntry FlowOf(Bridge& b, const DCB& dcb) {
  b.model->ClearLog();
  EXPECT_TRUE(BridgePortOps.SetLineSettings(b.Port(), &dcb));
  auto log = b.Requests();
  EXPECT_EQ(log.size(), 4u);
  return log.size() > 2 ? log[2] : BridgeLogEntry{};
}

sim::BridgeConfig WithEndpoints(uint8_t in, uint8_t out) {
  sim::BridgeConfig config = Unpaced();
  config.endpoints = {{{in, USB_ENDPOINT_TYPE_BULK}, {out, USB_ENDPOINT_TYPE_BULK}}};
  return config;
}

}  // namespace

TEST(BridgeLineSettings, DefaultsGiveTheFourRequestsInOrder) {
  Bridge b;
  DCB dcb = DefaultDcb();
  ASSERT_TRUE(BridgePortOps.SetLineSettings(b.Port(), &dcb));
  auto log = b.Requests();
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
  Bridge b(Unpaced(2, 2));
  ASSERT_NE(b.Com(1), nullptr);
  DCB dcb = ZeroDcb();
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(BridgePortOps.SetLineSettings(b.Port(1), &dcb));
  auto log = b.Requests();
  ASSERT_EQ(log.size(), 4u);
  ExpectSetup(log[0], {0x41, ReqBaudRate, 0, 1, 4});
  EXPECT_EQ(log[0].data, (Bytes{0x00, 0xC2, 0x01, 0x00}));
  ExpectSetup(log[1], {0x41, ReqLineControl, 0x0722, 1, 0});
  EXPECT_EQ(b.model->State(1).lineControl, 0x0722u);
}

TEST(BridgeLineSettings, FlowRecordCombinations) {
  Bridge b;
  DCB dcb = ZeroDcb();
  dcb.fOutX = 1;
  EXPECT_EQ(Word(FlowOf(b, dcb), 4), 0x01u);
  dcb = ZeroDcb();
  dcb.fInX = 1;
  EXPECT_EQ(Word(FlowOf(b, dcb), 4), 0x02u);
  dcb.fOutX = 1;
  EXPECT_EQ(Word(FlowOf(b, dcb), 4), 0x03u);

  dcb = ZeroDcb();
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fOutxCtsFlow = 1;
  dcb.fDsrSensitivity = 1;
  auto flow = FlowOf(b, dcb);
  EXPECT_EQ(Word(flow, 0), 0x4Au);
  EXPECT_EQ(Word(flow, 4), 0u);

  dcb = ZeroDcb();
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fTXContinueOnXoff = 1;
  EXPECT_EQ(Word(FlowOf(b, dcb), 4), 0x800000C0u);

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
  flow = FlowOf(b, dcb);
  EXPECT_EQ(Word(flow, 0), 0x10u);
  EXPECT_EQ(Word(flow, 4), 0x8Cu);
  EXPECT_EQ(Bytes(flow.data.begin() + 8, flow.data.end()),
            (Bytes{0xFF, 0xFF, 0, 0, 0x01, 0x80, 0, 0}));
}

TEST(BridgeLineSettings, StopsAtTheFirstFailedRequest) {
  Bridge b;
  DCB dcb = DefaultDcb();
  b.model->StallNext(ReqBaudRate, 1);
  EXPECT_FALSE(BridgePortOps.SetLineSettings(b.Port(), &dcb));
  EXPECT_EQ(b.Requests().size(), 1u);

  b.model->ClearLog();
  b.model->FailNext(ReqFlow, 1);
  EXPECT_FALSE(BridgePortOps.SetLineSettings(b.Port(), &dcb));
  auto log = b.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].setup.bRequest, ReqFlow);
  EXPECT_EQ(GetLastError(), 31u);
}

TEST(BridgeRequests, LineAndCharacterSlots) {
  Bridge b(Unpaced(2, 2));
  ASSERT_NE(b.Com(1), nullptr);
  BridgePort* port = b.Port(1);
  BridgePortOps.SetDtr(port);
  BridgePortOps.ClearDtr(port);
  BridgePortOps.SetRts(port);
  BridgePortOps.ClearRts(port);
  BridgePortOps.SetBreak(port);
  BridgePortOps.ClearBreak(port);
  BridgePortOps.SendImmediate(port, 0xA5);
  BridgePortOps.Reset(port);
  BridgePortOps.Purge(port, 0x10F);
  auto log = b.Requests();
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
  for (const auto& r : log) EXPECT_EQ(r.usbError, (DWORD)USB_NO_ERROR);
}

TEST(BridgeRequests, StatusReadsAndTheirFailures) {
  Bridge b;
  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDsr);
  DWORD modem = 0;
  BridgePortOps.GetModemStatus(b.Port(), &modem);
  EXPECT_EQ(modem, 0x30u);
  EXPECT_EQ(b.Port()->modemStatus, 0u);  // the poll's reference is not disturbed

  COMMPROP prop;
  std::memset(&prop, 0, sizeof(prop));
  BridgePortOps.GetProperties(b.Port(), &prop);

  auto log = b.Requests();
  ASSERT_EQ(log.size(), 2u);
  ExpectSetup(log[0], {0xC1, ReqModemStatus, 0, 0, 1});
  ExpectSetup(log[1], {0xC1, ReqProperties, 0, 0, 64});
  ASSERT_EQ(log[1].data.size(), 64u);
  EXPECT_EQ(0, std::memcmp(&prop, log[1].data.data(), 64));  // as the bridge answered
  EXPECT_NE(prop.wPacketLength, 0u);

  // A failed read leaves the caller's buffers as the core prepared them.
  b.model->FailNext(BridgeModel::kAnyRequest, 2, USB_STALL_ERROR);
  modem = 0;
  BridgePortOps.GetModemStatus(b.Port(), &modem);
  EXPECT_EQ(modem, 0u);
  std::memset(&prop, 0, sizeof(prop));
  BridgePortOps.GetProperties(b.Port(), &prop);
  EXPECT_EQ(prop.wPacketLength, 0u);
  EXPECT_EQ(prop.dwProvSpec2, 0u);
}

TEST(BridgePartNumber, EndpointRuleQueryAndFailure) {
  {
    // Endpoints 0x83 and 0x03 name the part that does not know the query: attach asked nothing.
    Bridge b(WithEndpoints(0x83, 0x03));
    ASSERT_TRUE(b.Attached());
    EXPECT_EQ(b.Device()->partNumber, 1u);
    EXPECT_EQ(UnderDeviceLock(b.Device(), [&] { return BridgeQueryPartNumber(b.Device()); }), 1u);
    EXPECT_EQ(b.Requests().size(), 0u);
  }
  Bridge b(WithEndpoints(0x81, 0x02));
  EXPECT_EQ(b.Device()->partNumber, 2u);
  EXPECT_EQ(UnderDeviceLock(b.Device(), [&] { return BridgeQueryPartNumber(b.Device()); }), 2u);
  auto log = b.Requests();
  ASSERT_EQ(log.size(), 1u);
  ExpectSetup(log[0], {0xC0, ReqVendor, 0x370B, 0, 1});

  b.model->FailNext(ReqVendor, 1);
  EXPECT_EQ(UnderDeviceLock(b.Device(), [&] { return BridgeQueryPartNumber(b.Device()); }), 0u);
  // A device record without its first port (attach never builds one) asks nothing.
  BridgePort* first = b.Device()->ports[0];
  b.Device()->ports[0] = nullptr;
  EXPECT_EQ(UnderDeviceLock(b.Device(), [&] { return BridgeQueryPartNumber(b.Device()); }), 0u);
  b.Device()->ports[0] = first;
  EXPECT_EQ(BridgeQueryPartNumber(nullptr), 0u);
}

TEST(BridgeLatch, PartNumbersWithoutLatchRequests) {
  BYTE in[2] = {0x0F, 0x05};
  BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  {
    Bridge b(WithEndpoints(0x83, 0x03));  // part number 1
    EXPECT_TRUE(BridgePortOps.Control(b.Port(), CtlGetPartNumber, nullptr, 0, out, 1, nullptr));
    EXPECT_EQ(out[0], 1u);
    EXPECT_FALSE(BridgePortOps.Control(b.Port(), CtlWriteLatch, in, 2, nullptr, 0, nullptr));
    EXPECT_FALSE(BridgePortOps.Control(b.Port(), CtlReadLatch, nullptr, 0, out, 1, nullptr));
    EXPECT_EQ(
        UnderDeviceLock(b.Port()->device, [&] { return BridgeWriteLatch(b.Port(), 0xFF, 0); }),
        (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(b.Requests().size(), 0u);
  }
  Bridge b(Unpaced(7));  // unknown
  EXPECT_EQ(b.Device()->partNumber, 7u);
  EXPECT_FALSE(BridgePortOps.Control(b.Port(), CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  EXPECT_EQ(UnderDeviceLock(b.Port()->device, [&] { return BridgeReadLatch(b.Port(), out); }),
            (DWORD)ERROR_NOT_SUPPORTED);
  EXPECT_EQ(b.Requests().size(), 0u);
}

// Part number 4 keeps one latch for the device (value and mask in the setup packet), part number 5
// one per interface (a data stage); a failing request fails the code.
TEST(BridgeLatch, DeviceFormOnPartNumberFourInterfaceFormOnFive) {
  struct Row {
    uint8_t partNumber;
    BYTE initial, after;
    Expected write;
    Bytes writeData;
    Expected read;
  };
  const Row rows[] = {
      {4, 0xF0, 0xF5, {0x40, ReqVendor, 0x37E1, 0x050F, 0}, {}, {0xC0, ReqVendor, 0x00C2, 0, 1}},
      {5,
       0x00,
       0x05,
       {0x41, ReqVendor, 0x37E1, 1, 2},
       {0x0F, 0x05},
       {0xC1, ReqVendor, 0x00C2, 1, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.partNumber);
    sim::BridgeConfig config = Unpaced(row.partNumber, 2);
    config.latch = row.initial;
    Bridge b(config);
    ASSERT_NE(b.Com(1), nullptr);
    BYTE in[2] = {0x0F, 0x05};
    EXPECT_TRUE(BridgePortOps.Control(b.Port(1), CtlWriteLatch, in, 2, nullptr, 0, nullptr));
    BYTE out[1] = {0};
    EXPECT_TRUE(BridgePortOps.Control(b.Port(1), CtlReadLatch, nullptr, 0, out, 1, nullptr));
    EXPECT_EQ(out[0], row.after);
    EXPECT_EQ(row.partNumber == 4 ? b.model->DeviceLatch() : b.model->State(1).latch, row.after);
    auto log = b.Requests();
    ASSERT_EQ(log.size(), 2u);
    ExpectSetup(log[0], row.write);
    EXPECT_EQ(log[0].data, row.writeData);
    ExpectSetup(log[1], row.read);

    b.model->FailNext(ReqVendor, 1);
    EXPECT_FALSE(BridgePortOps.Control(b.Port(1), CtlWriteLatch, in, 2, nullptr, 0, nullptr));
  }
}

TEST(BridgeControl, ShortAndMissingBuffersAreRefusedWithoutRequests) {
  Bridge b(Unpaced(4));
  BYTE in[2] = {0x0F, 0x05};
  BYTE out[2] = {0x77, 0x77};
  BridgePort* port = b.Port();
  EXPECT_FALSE(BridgePortOps.Control(port, CtlWriteLatch, in, 1, nullptr, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(port, CtlWriteLatch, nullptr, 2, nullptr, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(port, CtlReadLatch, nullptr, 0, out, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(port, CtlReadLatch, nullptr, 0, nullptr, 1, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(port, CtlGetPartNumber, nullptr, 0, out, 0, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(port, 0x222014, in, 2, out, 2, nullptr));
  EXPECT_FALSE(BridgePortOps.Control(port, IOCTL_POWER_GET, in, 2, out, 2, nullptr));
  EXPECT_EQ(out[0], 0x77u);
  EXPECT_EQ(b.Requests().size(), 0u);
}

TEST(BridgeControl, StringCodesCopyNoMoreThanWasStored) {
  sim::BridgeConfig config = Unpaced();
  config.serial = TEXT("ABCD");
  config.hasProduct = false;
  Bridge b(config);
  BridgePort* port = b.Port();
  BYTE out[64];
  // A string the bridge does not have fails its code.
  EXPECT_FALSE(BridgePortOps.Control(port, CtlGetProductString, nullptr, 0, out, 64, nullptr));

  // The serial string of 10 bytes, stored whole.
  Bytes serial{10, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0};
  std::memset(out, 0xEE, sizeof(out));
  EXPECT_FALSE(BridgePortOps.Control(port, CtlGetSerialString, nullptr, 0, out, 9, nullptr));
  EXPECT_EQ(out[0], 0xEEu);
  EXPECT_TRUE(BridgePortOps.Control(port, CtlGetSerialString, nullptr, 0, out, 10, nullptr));
  EXPECT_EQ(Bytes(out, out + 10), serial);
  EXPECT_EQ(out[10], 0xEEu);

  // A stored descriptor whose first byte claims 200 bytes in a 6-byte block (attach refuses such
  // a device, so the block is put in by hand): 6 bytes at most.
  Bytes claim{200, 3, 'X', 0, 'Y', 0};
  BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, claim.size()));
  std::memcpy(block, claim.data(), claim.size());
  b.Device()->productString = block;
  std::memset(out, 0xEE, sizeof(out));
  EXPECT_FALSE(BridgePortOps.Control(port, CtlGetProductString, nullptr, 0, out, 5, nullptr));
  EXPECT_TRUE(BridgePortOps.Control(port, CtlGetProductString, nullptr, 0, out, 64, nullptr));
  EXPECT_EQ(Bytes(out, out + 6), claim);
  EXPECT_EQ(out[6], 0xEEu);
  EXPECT_EQ(b.Requests().size(), 0u);
}

TEST(BridgeRequests, RequestWaitingForTheLockSeesTheDetach) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  b.StopPoll();
  b.model->ClearLog();
  BridgeDevice* device = b.Device();
  EnterCriticalSection(&device->lock);
  DWORD result = 2;
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread waiter([&] {
    SetEvent(started);
    DCB dcb = DefaultDcb();
    result = BridgePortOps.SetLineSettings(b.Port(), &dcb) ? 1 : 0;
  });
  WaitForSingleObject(started, INFINITE);
  // The removal marks the device detached under the lock this test holds: it waits for it.
  ASSERT_TRUE(b.model->Unplug());
  EXPECT_EQ(WaitForSingleObject(device->detachEvent, 5000), WAIT_OBJECT_0);
  Sleep(20);  // give both time to block on the lock; the result holds either way
  LeaveCriticalSection(&device->lock);
  waiter.join();
  CloseHandle(started);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(b.model->CountRequests(ReqBaudRate), 0u);
  EXPECT_TRUE(ComClose(h));
}
