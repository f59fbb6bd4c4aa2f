// A model of the USB-to-UART bridge as the bus sees it: string descriptors, the vendor control
// requests, bulk IN/OUT endpoints per interface, UART lines with wiring and line-rate pacing, a
// request log and fault injection. Plug it with sim::Plug(model) or model->Plug().
//
// All models share one lock and one worker thread (so that two models wired together move bytes
// without lock-order concerns). Control requests are answered inside Submit; bulk transfers
// complete on the worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb/sim_usb.h"

namespace sim {

struct BridgeEndpointLayout {
  uint8_t address;     // 0x8n IN, 0x0n OUT
  uint8_t attributes;  // USB_ENDPOINT_TYPE_BULK, USB_ENDPOINT_TYPE_INTERRUPT, ...
  uint16_t maxPacket = 64;
};

struct BridgeConfig {
  uint16_t vendorId = 0x10C4;
  uint16_t productId = 0xEA60;
  uint16_t release = 0x0100;
  uint8_t partNumber = 4;
  // Interfaces in the configuration. 1 or 2 for a sound bridge; 0 or 3 model broken devices.
  unsigned interfaces = 1;
  // Endpoints per interface; an interface without an entry gets bulk IN 0x81+n and OUT 0x01+n.
  std::vector<std::vector<BridgeEndpointLayout>> endpoints;
  sim::WString product = TEXT("Tollaverk USB UART");
  sim::WString serial = TEXT("0001");
  bool hasProduct = true;
  bool hasSerial = true;         // served at index 3 and at index 5
  bool paced = true;             // bytes take their line time; false moves them at once
  uint32_t rxFifoSize = 4096;    // towards the host; overflowing bytes are lost and counted
  uint32_t rtsHighWater = 3072;  // RTS (or DTR) handshake drops the line above this level
  uint32_t rtsLowWater = 1024;   // ... and raises it again below this one
  uint32_t txFifoSize = 64;      // transmit FIFO a bulk OUT drains into
  // A bulk IN the FIFO cannot fill completes once a paced line has been quiet for two byte times
  // (rxQuietMicros at least), or once the first waiting byte has waited rxFlushMicros: a busy line
  // then gives about one transfer per millisecond, as a bridge's receive timer does. On an unpaced
  // line a waiting transfer completes at the first byte.
  uint32_t rxQuietMicros = 250;
  uint32_t rxFlushMicros = 1000;
  uint8_t latch = 0xFF;  // GPIO latch at power-up
  // The request log keeps its latest entries: at most logEntries of them, holding at most
  // logDataBytes of data (the newest entry always stays); 0 lifts a limit. The defaults hold a
  // few seconds of a busy line, so that a long session's memory stays bounded; a test that reads
  // more of the log than that asks for it here.
  uint32_t logEntries = 4096;
  uint32_t logDataBytes = 1u << 20;
  // Bytes that left TX wait for TakeSent up to sentKeep of them (0: no limit); beyond that the
  // oldest go, down to half of it, so that a line nobody takes from stays bounded.
  uint32_t sentKeep = 4u << 20;
};

// Line state of one interface, as the test interface reads it.
struct BridgePortState {
  bool enabled = false;
  uint16_t enableValue = 0;  // wValue of the last ReqInterfaceEnable
  uint32_t baud = 9600;
  uint16_t lineControl = 0x0800;
  std::array<uint8_t, 16> flow = {};
  std::array<uint8_t, 6> chars = {};
  bool dtr = false;  // outputs as driven on the wire (handshake modes included)
  bool rts = false;
  bool breakOn = false;
  uint8_t latch = 0;  // interface-level latch (part number 5); device latch: DeviceLatch()
  uint32_t purgeCount = 0;
  uint8_t lastPurge = 0;
  uint32_t resetCount = 0;
  uint32_t immediateCount = 0;
  bool cts = false, dsr = false, ri = false, dcd = false;  // inputs as the device sees them
  uint32_t rxFifoLevel = 0;
  uint32_t rxOverflow = 0;         // bytes lost because the FIFO was full
  uint32_t rxDroppedDisabled = 0;  // bytes that arrived while the interface was disabled
  uint32_t txQueued = 0;
  uint32_t holdReasons = 0;
  bool xoffHeld = false;
  bool xoffSent = false;  // XON/XOFF on input: XoffChar sent for the own FIFO, XonChar not yet
  // Bytes that left TX while an external far end was not there (nobody had it open): lost, as
  // on a cable pulled out at the far end.
  uint32_t txLostFarEndAbsent = 0;
};

struct BridgeLogEntry {
  enum class Kind { Control, BulkIn, BulkOut };
  Kind kind = Kind::Control;
  USB_DEVICE_REQUEST setup = {};  // control only
  uint8_t endpoint = 0;
  bool in = false;
  uint32_t length = 0;                      // requested length
  DWORD flags = 0;                          // transfer flags the host stack was given
  std::vector<uint8_t> data;                // OUT: data sent; IN: data answered (control only)
  DWORD usbError = USB_NOT_COMPLETE_ERROR;  // result when answered, NOT_COMPLETE while pending
};

enum class BridgeWiring { None, Loopback, NullModem, External };

// The far end of a line outside the simulated world (a pseudo-terminal, say), fed and drained by
// its own thread. The model calls Present, Put, Full, Get and Accepting from its worker with the
// model lock held, so none of them may block or call into the model. The far end calls the wake
// function it was given, never while holding a lock of its own that those calls take, whenever
// Get has bytes again, Full has turned false or Present has changed.
class ExternalLine {
 public:
  virtual ~ExternalLine() = default;
  virtual void SetWake(std::function<void()> wake) = 0;
  // Whether something is there (a program has the terminal open): the far end's RTS and DTR. While
  // it is not, the line is a cable pulled out at the far end: what TX sends is lost.
  virtual bool Present() const = 0;
  virtual void Put(uint8_t byte) = 0;   // a byte that left TX while Present; always taken
  virtual bool Full() const = 0;        // true: the line waits before the next byte
  virtual bool Get(uint8_t* byte) = 0;  // the next byte the far end sends, if it has one
  // Whether the bridge would take a byte now; while it would not, the far end reads nothing new.
  virtual void Accepting(bool on) = 0;
};

// Faults for a string descriptor index.
struct StringFault {
  bool missing = false;   // stall every read
  int headerLength = -1;  // bLength sent on every read (e.g. 0 or 1), -1: true length
  int laterLength = -1;   // bLength sent on the second and later reads, -1: unchanged
  int laterType = -1;     // descriptor type sent on the second and later reads, -1: 3
};

class BridgeModel final : public UsbDeviceModel, public std::enable_shared_from_this<BridgeModel> {
 public:
  static constexpr int kAnyRequest = -1;
  static constexpr uint8_t kCts = 0x10, kDsr = 0x20, kRi = 0x40, kDcd = 0x80;

  static std::shared_ptr<BridgeModel> Create(BridgeConfig config = {});
  ~BridgeModel() override;

  // Plugs this model on the bus (waits for attach by default); 0 when already plugged.
  UsbDeviceId Plug(PlugOptions options = {});
  bool Unplug();  // starts the removal
  UsbDeviceId Id() const;
  const BridgeConfig& Config() const { return config_; }

  // ---- State ----
  BridgePortState State(unsigned iface) const;
  uint8_t DeviceLatch() const;
  // Sets the inputs (kCts | kDsr | kRi | kDcd) used while the interface has no wiring; RI is
  // taken from here with any wiring.
  void SetModemInputs(unsigned iface, uint8_t lines);
  void SetPaced(bool paced);

  // ---- Wiring ----
  void Loopback(unsigned iface);
  static void NullModem(const std::shared_ptr<BridgeModel>& a, unsigned ifaceA,
                        const std::shared_ptr<BridgeModel>& b, unsigned ifaceB);
  // Wires the interface's line to a far end outside the simulation. The far end's RTS and DTR
  // read as on (CTS, DSR and DCD on) while it is Present and as off while it is not; then what TX
  // sends is lost and counted (State().txLostFarEndAbsent). It sends only while this interface's
  // RTS is on and its receive FIFO has room, and the line waits while the far end is Full. Bytes
  // for it are not kept for TakeSent.
  void ConnectExternal(unsigned iface, std::shared_ptr<ExternalLine> line);
  void Disconnect(unsigned iface);

  // ---- Data ----
  // Puts bytes into the host-bound FIFO as if received; returns the count stored.
  size_t InjectRx(unsigned iface, const std::vector<uint8_t>& bytes);
  // Takes the bytes the interface has put on its TX line so far.
  std::vector<uint8_t> TakeSent(unsigned iface);
  // Waits until at least `count` bytes were put on the TX line (not yet taken), then takes all.
  std::vector<uint8_t> WaitSent(unsigned iface, size_t count, uint32_t timeoutMs);

  // ---- Request log ----
  // The entries still in the window (BridgeConfig::logEntries, logDataBytes), oldest first.
  std::vector<BridgeLogEntry> Log() const;
  void ClearLog();
  // Waits until some entry satisfies `pred` (already logged ones included).
  bool WaitForLog(const std::function<bool(const BridgeLogEntry&)>& pred, uint32_t timeoutMs);
  bool WaitForRequest(uint8_t bRequest, uint32_t timeoutMs);
  // Answered control requests with this bRequest (any direction/type) since the last ClearLog,
  // whether or not they are still in the log's window.
  size_t CountRequests(uint8_t bRequest) const;

  // ---- Faults ----
  // The next `count` control requests with this bRequest (or any) complete with `usbError`.
  void FailNext(int bRequest, unsigned count, DWORD usbError = USB_DEVICE_NOT_RESPONDING_ERROR);
  void StallNext(int bRequest, unsigned count) { FailNext(bRequest, count, USB_STALL_ERROR); }
  // The next `count` IN control requests with this bRequest answer only `bytes` bytes.
  void ShortAnswerNext(int bRequest, unsigned count, uint32_t bytes);
  // The next `count` bulk OUT transfers on the interface never complete (until cancel/unplug).
  void HangNextBulkOut(unsigned iface, unsigned count);
  // The next `count` bulk IN transfers on the interface complete with `usbError` and no data.
  void FailNextBulkIn(unsigned iface, unsigned count, DWORD usbError = USB_CRC_ERROR);
  void SetStringFault(uint8_t index, StringFault fault);
  // The device disappears when it receives the next control request with this bRequest (or any);
  // that request completes with USB_DEVICE_NOT_RESPONDING_ERROR.
  void RemoveOnRequest(int bRequest);
  // Comm status bytes 16 (eof received) and 17 is computed; eof is set by tests.
  void SetEofReceived(unsigned iface, bool eof);

  // ---- UsbDeviceModel ----
  LPCUSB_DEVICE DeviceInfo() override;
  void Submit(const std::shared_ptr<UsbIo>& io) override;
  uint32_t Cancel(const std::shared_ptr<UsbIo>& io) override;
  void Plugged(UsbDeviceId id) override;
  void Unplugged() override;

  struct Port;  // internal
  struct Impl;  // internal

 private:
  explicit BridgeModel(BridgeConfig config);
  BridgeConfig config_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
