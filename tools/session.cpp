#include "tools/session.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "sim/bridge_model/pty_line.h"
#include "sim/install/sim_install.h"
#include "sim/os/sim_os.h"
#include "sim/usb/sim_usb.h"
#include "sim/usb/usbmon_capture.h"
#ifdef TV_HAVE_LIBUSB
#include "sim/usb/passthrough_libusb.h"
#endif

namespace tvk {

std::string DescribeError(DWORD code) {
  const char* what = nullptr;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      what = "not found";
      break;
    case ERROR_ACCESS_DENIED:
      what = "access denied";
      break;
    case ERROR_INVALID_HANDLE:
      what = "invalid handle";
      break;
    case ERROR_INVALID_ACCESS:
      what = "invalid access";
      break;
    case ERROR_GEN_FAILURE:
      what = "general failure";
      break;
    case ERROR_NOT_SUPPORTED:
      what = "not supported";
      break;
    case ERROR_INVALID_PARAMETER:
      what = "invalid parameter";
      break;
    case ERROR_OPEN_FAILED:
      what = "open failed";
      break;
    case ERROR_OPERATION_ABORTED:
      what = "operation aborted";
      break;
    case ERROR_TIMEOUT:
      what = "time-out";
      break;
    case ERROR_DEVICE_NOT_CONNECTED:
      what = "device not connected";
      break;
    default:
      break;
  }
  char text[64];
  if (what) {
    std::snprintf(text, sizeof text, "error %u (%s)", static_cast<unsigned>(code), what);
  } else {
    std::snprintf(text, sizeof text, "error %u", static_cast<unsigned>(code));
  }
  return text;
}

namespace {

struct ErrorName {
  DWORD flag;
  const char* name;
};
constexpr ErrorName kErrorNames[] = {{CE_RXOVER, "CE_RXOVER"},     {CE_OVERRUN, "CE_OVERRUN"},
                                     {CE_RXPARITY, "CE_RXPARITY"}, {CE_FRAME, "CE_FRAME"},
                                     {CE_BREAK, "CE_BREAK"},       {CE_TXFULL, "CE_TXFULL"}};

}  // namespace

std::string LossWatch::Check(HANDLE port, const sim::BridgeModel* bridge) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ceapp::ClearCommError(port, &errors, &status)) errors = 0;
  const std::uint32_t dropped = bridge ? bridge->State(0).txLostFarEndAbsent : 0;
  return Note(errors, dropped);
}

std::string LossWatch::Note(DWORD errors, std::uint32_t lineDropped) {
  bool news = false;
  for (size_t i = 0; i < std::size(kErrorNames); ++i) {
    if (errors & kErrorNames[i].flag) {
      ++counts_[i];
      news = true;
    }
  }
  if (lineDropped > lineDropped_) {
    lineDropped_ = lineDropped;
    news = true;
  }
  return news ? Describe() : std::string();
}

bool LossWatch::Lost() const {
  if (lineDropped_ != 0) return true;
  for (std::uint64_t c : counts_)
    if (c != 0) return true;
  return false;
}

std::string LossWatch::Describe() const {
  std::string errors;
  for (size_t i = 0; i < std::size(kErrorNames); ++i) {
    if (counts_[i] == 0) continue;
    errors += errors.empty() ? "" : ", ";
    errors += kErrorNames[i].name;
    errors += counts_[i] == 1 ? std::string(" once") : " " + std::to_string(counts_[i]) + " times";
  }
  std::string text;
  if (!errors.empty()) text = "ClearCommError reported " + errors;
  if (lineDropped_ != 0) {
    text += text.empty() ? "" : "; ";
    text +=
        "the line dropped " + std::to_string(lineDropped_) + " bytes while the terminal was closed";
  }
  return text;
}

std::string LossWatch::Summary() const {
  return Lost() ? Describe() : "nothing lost";
}

bool FillDcb(const LineOptions& line, DCB* out, std::string* error) {
  // Filled in a copy, so that a refused format leaves the caller's DCB as it was.
  DCB copy = *out;
  DCB* dcb = &copy;
  const std::string& f = line.format;
  if (f.size() < 3 || f[0] < '5' || f[0] > '8') {
    *error = "line format '" + f + "': expected e.g. 8N1";
    return false;
  }
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = line.baud;
  dcb->ByteSize = static_cast<BYTE>(f[0] - '0');
  switch (f[1]) {
    case 'N':
    case 'n':
      dcb->Parity = NOPARITY;
      break;
    case 'O':
    case 'o':
      dcb->Parity = ODDPARITY;
      break;
    case 'E':
    case 'e':
      dcb->Parity = EVENPARITY;
      break;
    case 'M':
    case 'm':
      dcb->Parity = MARKPARITY;
      break;
    case 'S':
    case 's':
      dcb->Parity = SPACEPARITY;
      break;
    default:
      *error = "line format '" + f + "': parity must be N, O, E, M or S";
      return false;
  }
  std::string stop = f.substr(2);
  if (stop == "1") {
    dcb->StopBits = ONESTOPBIT;
  } else if (stop == "1.5") {
    dcb->StopBits = ONE5STOPBITS;
  } else if (stop == "2") {
    dcb->StopBits = TWOSTOPBITS;
  } else {
    *error = "line format '" + f + "': stop bits must be 1, 1.5 or 2";
    return false;
  }
  bool rtscts = line.flow == "rtscts";
  bool xonxoff = line.flow == "xonxoff";
  if (!rtscts && !xonxoff && line.flow != "none") {
    *error = "flow control '" + line.flow + "': expected none, rtscts or xonxoff";
    return false;
  }
  dcb->fBinary = 1;
  dcb->fParity = dcb->Parity != NOPARITY ? 1 : 0;
  dcb->fOutxCtsFlow = rtscts ? 1 : 0;
  dcb->fOutxDsrFlow = 0;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fDsrSensitivity = 0;
  dcb->fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb->fOutX = xonxoff ? 1 : 0;
  dcb->fInX = xonxoff ? 1 : 0;
  // The driver's own XOFF (its receive buffer filling) does not stop what the application sends:
  // otherwise an application that reads only between its writes, and whose write waits for that
  // hold to lift, would wait on itself.
  dcb->fTXContinueOnXoff = 1;
  dcb->XonChar = 0x11;
  dcb->XoffChar = 0x13;
  // XOFF with half the receive buffer still free: room for what the ring and the bridge hold and
  // what arrives while the XOFF is on its way. The bridge caps both limits to its own FIFO.
  dcb->XonLim = 1024;
  dcb->XoffLim = 32768;
  *out = copy;
  return true;
}

std::string DescribeLine(const LineOptions& line) {
  return std::to_string(line.baud) + " " + line.format + ", flow " + line.flow;
}

Session::~Session() {
  Shutdown();
}

bool Session::Install(std::string* error) {
  if (installed_) return true;
  std::string path = sim::DriverModulePath();
  if (path.empty()) {
    *error = "cannot tell where the driver module lives";
    return false;
  }
  if (!sim::InstallDriverModule(path)) {
    *error = "installing " + path + " failed";
    return false;
  }
  installed_ = true;
  return true;
}

int Session::PlugBridge(bool paced, bool loopback, std::string* error, unsigned interfaces) {
  sim::BridgeConfig config;
  config.paced = paced;
  config.interfaces = interfaces;
  Bridge bridge;
  bridge.model = sim::BridgeModel::Create(config);
  if (loopback) bridge.model->Loopback(0);
  bridge.id = bridge.model->Plug();
  if (bridge.id == 0) {
    *error = "plugging the bridge failed";
    return -1;
  }
  sim::AttachResult result = sim::LastAttachResult(bridge.id);
  bridges_.push_back(bridge);
  if (result.status != sim::AttachResult::Status::Attached) {
    *error = "the driver did not take the bridge" +
             (result.detail.empty() ? std::string() : ": " + result.detail);
    return -1;
  }
  return static_cast<int>(bridges_.size() - 1);
}

bool ParseUsbTarget(const std::string& text, UsbTarget* target) {
  unsigned vid = 0, pid = 0, bus = 0, address = 0;
  int used = 0;
  const int n =
      std::sscanf(text.c_str(), "%4x:%4x%n@%3u:%3u%n", &vid, &pid, &used, &bus, &address, &used);
  if ((n != 2 && n != 4) || used != static_cast<int>(text.size())) return false;
  if (n == 4 && (bus < 1 || bus > 255 || address < 1 || address > 127)) return false;
  target->vendorId = static_cast<std::uint16_t>(vid);
  target->productId = static_cast<std::uint16_t>(pid);
  target->bus = n == 4 ? static_cast<int>(bus) : -1;
  target->address = n == 4 ? static_cast<int>(address) : -1;
  return true;
}

int Session::PlugUsbBridge(const std::string& text, std::string* error) {
  UsbTarget target;
  if (!ParseUsbTarget(text, &target)) {
    *error = "expected VID:PID or VID:PID@BUS:ADDR, e.g. 10c4:ea60@1:5, not \"" + text + "\"";
    return -1;
  }
#ifdef TV_HAVE_LIBUSB
  sim::LibusbDeviceSelector selector;
  selector.vendorId = target.vendorId;
  selector.productId = target.productId;
  selector.bus = target.bus;
  selector.address = target.address;
  std::shared_ptr<sim::LibusbPassthrough> device = sim::OpenLibusbPassthrough(selector, error);
  if (!device) return -1;
  Bridge bridge;
  bridge.id = sim::Plug(device);
  bridges_.push_back(bridge);
  sim::AttachResult result = sim::LastAttachResult(bridge.id);
  if (result.status != sim::AttachResult::Status::Attached) {
    *error = "the driver did not take the bridge" +
             (result.detail.empty() ? std::string() : ": " + result.detail);
    return -1;
  }
  return static_cast<int>(bridges_.size() - 1);
#else
  *error = "this build has no libusb (libusb-1.0 was not found at configure time)";
  return -1;
#endif
}

int Session::PlugPtyBridge(std::string* path, std::string* error) {
  std::shared_ptr<sim::ExternalLine> line = sim::OpenPtyLine(path, error);
  if (!line) return -1;
  int bridge = PlugBridge(true, false, error);
  if (bridge < 0) return -1;
  bridges_[bridge].model->ConnectExternal(0, std::move(line));
  bridges_[bridge].external = true;
  return bridge;
}

HANDLE Session::Open(const WCHAR* name, std::string* error) {
  HANDLE port =
      ceapp::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    *error = "opening " + sim::Utf8(name) + " failed: " + DescribeError(GetLastError());
    return port;
  }
  ports_.push_back(port);
  return port;
}

bool Session::ApplyLine(HANDLE port, const LineOptions& line, std::string* error) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!ceapp::GetCommState(port, &dcb)) {
    *error = "GetCommState: " + DescribeError(GetLastError());
    return false;
  }
  if (!FillDcb(line, &dcb, error)) return false;
  if (!ceapp::SetCommState(port, &dcb)) {
    *error = "SetCommState " + DescribeLine(line) + ": " + DescribeError(GetLastError());
    return false;
  }
  return true;
}

bool Session::SetReadTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return ceapp::SetCommTimeouts(port, &t) != FALSE;
}

void Session::Close(HANDLE port) {
  auto it = std::find(ports_.begin(), ports_.end(), port);
  if (it == ports_.end()) return;
  ports_.erase(it);
  ceapp::CloseHandle(port);
}

bool Session::StartUnplug(int bridge) {
  Bridge& b = bridges_[bridge];
  if (b.removing || b.id == 0) return false;
  b.removing = true;
  return sim::Unplug(b.id);
}

bool Session::WaitRemoved(int bridge, std::uint32_t timeoutMs) {
  return bridges_[bridge].id == 0 || sim::WaitRemoved(bridges_[bridge].id, timeoutMs);
}

void Session::CloseForExit() {
  while (!ports_.empty()) Close(ports_.back());
  for (Bridge& b : bridges_)
    if (b.external) {
      b.model->Disconnect(0);  // the model held the far end's last reference
      b.external = false;
    }
  // A real bridge is unplugged in order all the same: its removal releases the interface and gives
  // it back to the kernel's driver, which a bare exit would leave detached.
  for (size_t i = 0; i < bridges_.size(); ++i)
    if (!bridges_[i].model && bridges_[i].id != 0) {
      StartUnplug(static_cast<int>(i));
      WaitRemoved(static_cast<int>(i), 10000);
    }
  // The process ends without its exit handlers: a capture is finished here.
  if (sim::UsbCaptureActive() && !sim::StopUsbCapture())
    std::fprintf(stderr, "tvk: --capture: writing the capture failed\n");
}

void Session::Shutdown() {
  // Ports first: detach waits for the applications to close every port of a bridge whose ports
  // are all open.
  while (!ports_.empty()) Close(ports_.back());
  for (size_t i = 0; i < bridges_.size(); ++i) StartUnplug(static_cast<int>(i));
  for (size_t i = 0; i < bridges_.size(); ++i) WaitRemoved(static_cast<int>(i), 10000);
  for (Bridge& b : bridges_)
    if (b.external) b.model->Disconnect(0);  // the model held the far end's last reference
  bridges_.clear();
  if (installed_) {
    sim::UninstallDriverModule();
    installed_ = false;
  }
}

}  // namespace tvk
