// The bus capture read back by tshark: a known session (plug, open, settings, data both ways, a
// purge, a stalled request, unplug) gives the transfers the bridge model logged, in the same
// order per endpoint, with the same setup packets, data and outcomes; with the project's
// dissector, tshark names the bridge's requests and the baud rates written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "sim/usb/usbmon_capture.h"
#include "tests/e2e/rig.h"

namespace {

const std::string kTshark = TV_TSHARK;  // empty when CMake did not find it
const std::string kDissector = std::string(TV_SOURCE_DIR) + "/tools/wireshark/tvbridge.lua";

// Runs a command and returns its standard output (tshark's warning about running as root, and
// anything else it says on standard error, is dropped).
std::string RunCommand(const std::string& command) {
  std::string out;
  std::FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

// The first value of `key` anywhere in a tshark JSON layer (fields sit in nested subtrees).
std::string Field(const nlohmann::json& j, const std::string& key) {
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (it.key() == key && it->is_string()) return it->get<std::string>();
      std::string found = Field(*it, key);
      if (!found.empty()) return found;
    }
  }
  return {};
}

unsigned long Number(const std::string& text) {
  return text.empty() ? 0 : std::stoul(text, nullptr, 0);
}

// One transfer as tshark decoded its two records.
struct Transfer {
  std::string urb;
  unsigned endpoint = 0;  // with 0x80 for IN
  unsigned transferType = 0;
  bool hasSetup = false;
  USB_DEVICE_REQUEST setup = {};
  std::vector<uint8_t> outData;  // on the submission
  std::vector<uint8_t> inData;   // on the completion
  bool completed = false;
  long status = 0;
};

// The capture's transfers in the order of their submissions. The header fields are tshark's; the
// setup packet and the data are the frame's bytes where tshark says they are, and tshark's own
// reading of the setup packet must agree with them.
std::vector<Transfer> ReadCapture(const std::string& path, std::string* raw) {
  *raw = RunCommand(kTshark + " -r " + path + " -T json -x");
  std::vector<Transfer> transfers;
  nlohmann::json frames = nlohmann::json::parse(*raw, nullptr, false);
  if (!frames.is_array()) {
    ADD_FAILURE() << "tshark gave no JSON array";
    return transfers;
  }
  std::map<std::string, size_t> byUrb;
  for (const nlohmann::json& frame : frames) {
    const nlohmann::json& layers = frame["_source"]["layers"];
    const nlohmann::json& usb = layers;  // the USB layer and its setup subtree
    const std::vector<uint8_t> bytes = Hex(layers["frame_raw"][0].get<std::string>());
    if (bytes.size() < 64) {
      ADD_FAILURE() << "short frame: " << layers.dump();
      continue;
    }
    const size_t dataLength = Number(Field(usb, "usb.data_len"));
    EXPECT_EQ(bytes.size(), 64 + dataLength);
    const std::vector<uint8_t> data(bytes.begin() + 64, bytes.end());
    const std::string urb = Field(usb, "usb.urb_id");
    if (Field(usb, "usb.urb_type") == "'S'") {
      Transfer t;
      t.urb = urb;
      t.transferType = static_cast<unsigned>(Number(Field(usb, "usb.transfer_type")));
      t.endpoint = static_cast<unsigned>(Number(Field(usb, "usb.endpoint_address")));
      EXPECT_EQ(Field(usb, "usb.urb_status"), "-115") << urb;
      t.hasSetup = Field(usb, "usb.setup_flag") != "'-'";
      if (t.hasSetup) {
        std::memcpy(&t.setup, &bytes[40], sizeof t.setup);
        EXPECT_EQ(Number(Field(usb, "usb.bmRequestType")), t.setup.bmRequestType) << urb;
        EXPECT_EQ(Number(Field(usb, "usb.setup.bRequest")), t.setup.bRequest) << urb;
        EXPECT_EQ(Number(Field(usb, "usb.setup.wLength")), +t.setup.wLength) << urb;
      }
      t.outData = data;
      byUrb[t.urb] = transfers.size();
      transfers.push_back(t);
    } else {
      auto it = byUrb.find(urb);
      EXPECT_NE(it, byUrb.end()) << "completion without a submission: " << urb;
      if (it == byUrb.end()) continue;
      Transfer& t = transfers[it->second];
      EXPECT_FALSE(t.completed) << "second completion: " << urb;
      t.completed = true;
      t.status = std::stol(Field(usb, "usb.urb_status"));
      t.inData = data;
    }
  }
  return transfers;
}

// The status usbmon shows for what the model answered.
bool StatusMatches(const sim::BridgeLogEntry& e, long status) {
  switch (e.usbError) {
    case USB_NO_ERROR:
      return status == 0;
    case USB_STALL_ERROR:
      return status == -32;
    case USB_CANCELED_ERROR:
      return status == -2 || status == -104;
    case USB_NOT_COMPLETE_ERROR:  // pending when the bridge was removed: ended by the removal,
      return status == -108 || status == -2 || status == -104;  // or cancelled meanwhile
    default:
      return status < 0;
  }
}

unsigned EndpointOf(const sim::BridgeLogEntry& e) {
  if (e.kind == sim::BridgeLogEntry::Kind::Control) return 0;
  return e.endpoint | (e.in ? 0x80u : 0u);
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kTshark.empty()) GTEST_SKIP() << "tshark is not installed (Debian: apt-get install tshark)";
    rig::InstallDriver();
    path = (std::filesystem::temp_directory_path() /
            ("tv-capture-" + std::to_string(::getpid()) + ".pcap"))
               .string();
  }
  void TearDown() override {
    sim::StopUsbCapture();
    if (!HasFailure())
      std::filesystem::remove(path);
    else
      std::printf("capture kept: %s\n", path.c_str());
  }
  std::string path;
};

TEST_F(CaptureTest, TsharkReadsTheSessionAsTheModelLoggedIt) {
  std::string error;
  ASSERT_TRUE(sim::StartUsbCapture(path, &error)) << error;
  rig::Bridge bridge = rig::Plug({});
  ASSERT_TRUE(bridge.attached);
  HANDLE port = rig::Open(TEXT("COM1:"));
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(rig::Configure(port, CBR_115200));
  ASSERT_TRUE(rig::SetReadTimeout(port, 3000));
  const std::vector<uint8_t> sent = rig::Pattern(300, 7);
  DWORD written = 0;
  ASSERT_TRUE(ceapp::WriteFile(port, sent.data(), 300, &written, nullptr));
  EXPECT_EQ(rig::ReadAll(port, sent.size()), sent);
  EXPECT_TRUE(ceapp::PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR));
  bridge.model->StallNext(0x1E, 1);  // the baud rate request of the next settings
  EXPECT_FALSE(rig::Configure(port, CBR_9600));
  EXPECT_TRUE(rig::Configure(port, CBR_9600));
  ceapp::CloseHandle(port);
  rig::Unplug(bridge);
  ASSERT_TRUE(rig::WaitRemoved(bridge, 10000));
  ASSERT_TRUE(sim::StopUsbCapture());
  const std::vector<sim::BridgeLogEntry> log = bridge.model->Log();

  std::string raw;
  std::vector<Transfer> transfers = ReadCapture(path, &raw);
  ASSERT_GE(transfers.size(), 2u) << raw;
  // The enumeration first: the device descriptor (with the model's identity), then the
  // configuration.
  EXPECT_EQ(transfers[0].setup.bRequest, 0x06);
  EXPECT_EQ(+transfers[0].setup.wValue, 0x0100);
  ASSERT_EQ(transfers[0].inData.size(), 18u);
  EXPECT_EQ(transfers[0].inData[8] | transfers[0].inData[9] << 8, 0x10C4);
  EXPECT_EQ(transfers[0].inData[10] | transfers[0].inData[11] << 8, 0xEA60);
  EXPECT_EQ(+transfers[1].setup.wValue, 0x0200);
  EXPECT_EQ(transfers[1].inData.size(), 9u + 9u + 2 * 7u);

  // Then, endpoint by endpoint, what the model logged, in its order.
  std::map<unsigned, std::vector<const Transfer*>> captured;
  for (size_t i = 2; i < transfers.size(); ++i) {
    EXPECT_TRUE(transfers[i].completed) << "transfer " << i << " never completed";
    // The control endpoint's records carry the direction of their data stage: one stream.
    captured[transfers[i].transferType == 2 ? 0 : transfers[i].endpoint].push_back(&transfers[i]);
  }
  std::map<unsigned, std::vector<const sim::BridgeLogEntry*>> logged;
  for (const sim::BridgeLogEntry& e : log) logged[EndpointOf(e)].push_back(&e);
  EXPECT_EQ(captured.size(), logged.size());
  size_t stalls = 0, purges = 0, bulkOutBytes = 0, bulkInBytes = 0;
  for (auto& [endpoint, entries] : logged) {
    const std::vector<const Transfer*>& got = captured[endpoint];
    SCOPED_TRACE(::testing::Message() << "endpoint 0x" << std::hex << endpoint);
    ASSERT_GE(got.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const sim::BridgeLogEntry& e = *entries[i];
      const Transfer& t = *got[i];
      SCOPED_TRACE(::testing::Message() << "transfer " << i << " (" << t.urb << ")");
      if (e.kind == sim::BridgeLogEntry::Kind::Control) {
        ASSERT_TRUE(t.hasSetup);
        EXPECT_EQ(t.transferType, 2u);
        EXPECT_EQ(t.setup.bmRequestType, e.setup.bmRequestType);
        EXPECT_EQ(t.setup.bRequest, e.setup.bRequest);
        EXPECT_EQ(+t.setup.wValue, +e.setup.wValue);
        EXPECT_EQ(+t.setup.wIndex, +e.setup.wIndex);
        EXPECT_EQ(+t.setup.wLength, +e.setup.wLength);
        if (e.setup.bmRequestType == 0x41 && e.setup.bRequest == 0x12 && e.setup.wValue == 0x0C)
          ++purges;  // the application's; the open makes one of its own
      } else {
        EXPECT_EQ(t.transferType, 3u);
      }
      EXPECT_TRUE(StatusMatches(e, t.status)) << "model " << e.usbError << ", usbmon " << t.status;
      if (e.usbError == USB_STALL_ERROR) ++stalls;
      if (e.in) {
        EXPECT_TRUE(t.outData.empty());
        if (e.usbError != USB_NOT_COMPLETE_ERROR) {
          EXPECT_EQ(t.inData, e.data);
        }
        if (e.kind != sim::BridgeLogEntry::Kind::Control) bulkInBytes += t.inData.size();
      } else {
        EXPECT_EQ(t.outData, e.data);
        EXPECT_TRUE(t.inData.empty());
        if (e.kind != sim::BridgeLogEntry::Kind::Control) bulkOutBytes += t.outData.size();
      }
    }
    // Only transfers the bridge never saw, because the removal had begun, may follow.
    for (size_t i = entries.size(); i < got.size(); ++i)
      EXPECT_EQ(got[i]->status, -108) << "transfer " << got[i]->urb << " not in the model's log";
  }
  EXPECT_EQ(stalls, 1u);
  EXPECT_EQ(purges, 1u);
  EXPECT_EQ(bulkOutBytes, sent.size());
  EXPECT_EQ(bulkInBytes, sent.size());

  // With the dissector: the requests by name, the baud rates as numbers, the stall.
  const std::string text = RunCommand(kTshark + " -r " + path + " -X lua_script:" + kDissector);
  for (const char* expected :
       {"BaudRate 115200", "BaudRate stalled (-EPIPE)", "LineControl 8N1", "InterfaceEnable enable",
        "Purge TXCLEAR|RXCLEAR", "Flow DTR on, RTS on", "SpecialChars",
        "ModemStatus: ", "ModemHandshake", "InterfaceEnable disable"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << " not in\n" << text;
  const std::string bauds = RunCommand(kTshark + " -r " + path + " -X lua_script:" + kDissector +
                                       " -Y tvbridge.baud -T fields -e tvbridge.baud");
  // The open's 9600, ours, the stalled one, the settings in force restored after it, then ours.
  EXPECT_EQ(bauds, "9600\n115200\n9600\n115200\n9600\n");
}

// SIGINT in a program with no handler of its own finishes the file, then ends the program as the
// signal would have. The capture's writer has not yet written anything when the signal comes.
TEST(CaptureSignal, SigintWritesWhatIsBufferedBeforeTheProgramEnds) {
  // In the test's folder: the death test's child runs in a process of its own (another pid).
  const std::string path = "tv-capture-sigint.pcap";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto child = [&path] {
    std::signal(SIGINT, SIG_DFL);
    if (!sim::StartUsbCapture(path)) std::exit(3);
    USB_DEVICE device = {};
    device.Descriptor = {18, 1, 0x0110, 0, 0, 0, 64, 0x10C4, 0xEA60, 0x0100, 1, 2, 3, 1};
    sim::usb_detail::CapturePlug(1, &device);  // the device descriptor's two records
    std::raise(SIGINT);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::exit(4);
  };
  EXPECT_EXIT(child(), ::testing::KilledBySignal(SIGINT), "");
  std::error_code error;
  // The file header and the two records: 24 + (16 + 64) + (16 + 64 + 18) bytes.
  EXPECT_EQ(std::filesystem::file_size(path, error), 202u);
  std::filesystem::remove(path, error);
}

}  // namespace
