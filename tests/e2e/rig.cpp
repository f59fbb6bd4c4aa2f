#include "tests/e2e/rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "sim/install/sim_install.h"
#include "sim/os/sim_os.h"

namespace rig {

void InstallDriver() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string path = sim::DriverModulePath();
    ASSERT_FALSE(path.empty());
    ASSERT_TRUE(sim::InstallDriverModule(path)) << path;
  });
}

HANDLE Open(const WCHAR* name) {
  return ceapp::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
}

bool Configure(HANDLE port, DWORD baud, Flow flow) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!ceapp::GetCommState(port, &dcb)) return false;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = flow.rtsCts ? 1 : 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fRtsControl = flow.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = flow.xonXoff ? 1 : 0;
  dcb.fInX = flow.xonXoff ? 1 : 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  // XOFF with half the receive buffer still free: room for what the ring and the bridge hold and
  // what arrives while the XOFF is on its way. The bridge caps both limits to its own FIFO.
  dcb.XonLim = 1024;
  dcb.XoffLim = 32768;
  return ceapp::SetCommState(port, &dcb) != FALSE;
}

bool SetReadTimeout(HANDLE port, DWORD totalMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = totalMs;
  return ceapp::SetCommTimeouts(port, &timeouts) != FALSE;
}

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed, bool softFlowSafe) {
  std::vector<uint8_t> data(bytes);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < bytes; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    uint8_t b = static_cast<uint8_t>(state >> 24);
    if (softFlowSafe && (b == 0x11 || b == 0x13)) b = 0x20;
    data[i] = b;
  }
  return data;
}

std::vector<uint8_t> ReadAll(HANDLE port, size_t bytes, DWORD chunk) {
  std::vector<uint8_t> got;
  got.reserve(bytes);
  std::vector<uint8_t> buffer(chunk);
  while (got.size() < bytes) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(chunk, bytes - got.size()));
    DWORD n = 0;
    if (!ceapp::ReadFile(port, buffer.data(), want, &n, nullptr) || n == 0) break;
    got.insert(got.end(), buffer.begin(), buffer.begin() + n);
  }
  return got;
}

void Unplug(const Bridge& bridge) {
  if (bridge.id != 0) sim::Unplug(bridge.id);
}

bool WaitRemoved(const Bridge& bridge, uint32_t timeoutMs) {
  return bridge.id == 0 || sim::WaitRemoved(bridge.id, timeoutMs);
}

namespace {

const int kSetInterface = 0x0B;
const int kGetDescriptor = 0x06;
const int kVendor = 0xFF;

// A fault on the serial number string, which is served at index 3 and 5.
void SerialFault(sim::BridgeModel& model, const sim::StringFault& fault) {
  model.SetStringFault(3, fault);
  model.SetStringFault(5, fault);
}

struct FaultRow {
  AttachFault fault;
  const char* name;
  bool stillAttaches;
  void (*inject)(sim::BridgeModel&);
};

// The selection of the interface is not checked (its status is not read), a part number that
// cannot be read is 0, and a string the device does not answer at all is left out.
const FaultRow kFaults[] = {
    {AttachFault::None, "None", true, [](sim::BridgeModel&) {}},
    {AttachFault::SetInterfaceStalls, "SetInterfaceStalls", true,
     [](sim::BridgeModel& m) { m.StallNext(kSetInterface, 1); }},
    {AttachFault::PartNumberStalls, "PartNumberStalls", true,
     [](sim::BridgeModel& m) { m.StallNext(kVendor, 1); }},
    {AttachFault::ProductMissing, "ProductMissing", true,
     [](sim::BridgeModel& m) { m.SetStringFault(2, {.missing = true}); }},
    {AttachFault::ProductHeaderShort, "ProductHeaderShort", false,
     [](sim::BridgeModel& m) { m.ShortAnswerNext(kGetDescriptor, 1, 1); }},
    {AttachFault::SerialLengthZero, "SerialLengthZero", false,
     [](sim::BridgeModel& m) { SerialFault(m, {.headerLength = 0}); }},
    {AttachFault::SerialLengthOne, "SerialLengthOne", false,
     [](sim::BridgeModel& m) { SerialFault(m, {.headerLength = 1}); }},
    {AttachFault::SerialWrongType, "SerialWrongType", false,
     [](sim::BridgeModel& m) { SerialFault(m, {.laterType = 4}); }},
    {AttachFault::SerialOtherLength, "SerialOtherLength", false,
     [](sim::BridgeModel& m) { SerialFault(m, {.laterLength = 4}); }},
};

const FaultRow& RowOf(AttachFault fault) {
  for (const FaultRow& row : kFaults) {
    if (row.fault == fault) return row;
  }
  return kFaults[0];
}

void Inject(sim::BridgeModel& model, AttachFault fault) {
  RowOf(fault).inject(model);
}

}  // namespace

std::vector<AttachFault> AllAttachFaults() {
  std::vector<AttachFault> all;
  for (const FaultRow& row : kFaults) {
    if (row.fault != AttachFault::None) all.push_back(row.fault);
  }
  return all;
}

bool FaultStillAttaches(AttachFault fault) {
  return RowOf(fault).stillAttaches;
}

const char* FaultName(AttachFault fault) {
  return RowOf(fault).name;
}

size_t LiveBlocks() {
  return sim::HeapLiveBlocks();
}

bool LoadRegFile(const std::string& path) {
  std::string error;
  bool ok = sim::RegistryLoadFile(path, &error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

Bridge Plug(const BridgeOptions& options) {
  sim::BridgeConfig config;
  config.interfaces = static_cast<unsigned>(options.interfaces);
  config.paced = options.paced;
  if (!options.paced) {
    // Unpaced, a whole bulk OUT chunk (16 KiB) reaches the far FIFO at once: give it room for
    // several, with the handshake levels scaled alike.
    config.rxFifoSize = 65536;
    config.rtsHighWater = 49152;
    config.rtsLowWater = 16384;
  }
  config.partNumber = static_cast<uint8_t>(options.partNumber);
  if (options.noBulkOut) {
    config.endpoints = {{{0x81, USB_ENDPOINT_TYPE_BULK}, {0x02, USB_ENDPOINT_TYPE_INTERRUPT}}};
  }
  Bridge bridge;
  bridge.model = sim::BridgeModel::Create(config);
  if (options.wiring == Wiring::Loopback) {
    for (int i = 0; i < options.interfaces && i < 2; ++i) {
      bridge.model->Loopback(static_cast<unsigned>(i));
    }
  }
  Inject(*bridge.model, options.fault);
  bridge.id = bridge.model->Plug();
  bridge.attached = bridge.id != 0 &&
                    sim::LastAttachResult(bridge.id).status == sim::AttachResult::Status::Attached;
  return bridge;
}

void NullModem(const Bridge& one, const Bridge& other, bool paced) {
  one.model->SetPaced(paced);
  other.model->SetPaced(paced);
  sim::BridgeModel::NullModem(one.model, 0, other.model, 0);
}

}  // namespace rig
