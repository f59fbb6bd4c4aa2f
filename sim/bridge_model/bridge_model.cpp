#include "sim/bridge_model/bridge_model.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ce_serial.h"
#include "sim/bridge_model/libusb_path.h"
#include "sim/os/cpu_account.h"
#include "sim/os/sched.h"
#include "sim/os/wake_count.h"

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {

// Request codes of the bridge's vendor protocol.
enum : uint8_t {
  kReqInterfaceEnable = 0x00,
  kReqLineControl = 0x03,
  kReqBreak = 0x05,
  kReqImmediateChar = 0x06,
  kReqModemHandshake = 0x07,
  kReqModemStatus = 0x08,
  kReqProperties = 0x0F,
  kReqCommStatus = 0x10,
  kReqReset = 0x11,
  kReqPurge = 0x12,
  kReqFlow = 0x13,
  kReqSpecialChars = 0x19,
  kReqBaudRate = 0x1E,
  kReqVendor = 0xFF,
};
constexpr uint16_t kVendorPartNumber = 0x370B;
constexpr uint16_t kVendorWriteLatch = 0x37E1;
constexpr uint16_t kVendorReadLatch = 0x00C2;

// The line engine's pacing step: one USB full-speed frame. A paced line is brought up to date at
// most once per slice while bytes flow, instead of once per byte.
constexpr std::chrono::microseconds kLineSlice{1000};

constexpr uint8_t kToIface = 0x41, kFromIface = 0xC1, kToDevice = 0x40, kFromDevice = 0xC0;

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The one lock and worker thread all models share. Never destroyed: the worker may be waiting in
// it while the process exits.
struct World {
  std::mutex mu;
  std::condition_variable cv;   // wakes the worker
  std::condition_variable log;  // log entries, sent bytes
  std::vector<BridgeModel::Impl*> models;
  std::thread worker;
  bool started = false;
  bool again = false;  // a pass changed another port: run one more before waiting
  // When the waiting worker runs its next pass by itself (max: only when woken).
  std::chrono::steady_clock::time_point due = std::chrono::steady_clock::time_point::max();
};
World& W() {
  static World* w = new World;
  return *w;
}

struct Fault {
  int bRequest;
  unsigned count;
  DWORD usbError;
  uint32_t shortBytes;
  bool isShort;
};

}  // namespace

struct BridgeModel::Port {
  unsigned index = 0;
  uint8_t inEp = 0, outEp = 0;  // 0: none
  uint32_t outPacket = 64;      // maximum packet size of the bulk OUT endpoint
  BridgePortState s;
  bool dtrManual = false, rtsManual = false;
  bool handshakeLineUp = true;  // hysteresis state of the RTS/DTR handshake
  uint8_t testInputs = 0;
  std::deque<uint8_t> rx;         // towards the host
  std::deque<uint8_t> tx;         // transmit FIFO
  std::deque<uint8_t> immediate;  // goes out ahead of tx
  std::vector<uint8_t> sent;      // bytes put on the TX line, until taken
  std::deque<std::shared_ptr<UsbIo>> bulkIn;
  // Receive flush: when the first waiting byte arrived and when the latest one did, and when each
  // byte in the FIFO arrived (beside `rx`, one for one).
  Clock::time_point rxOldest, rxLatest;
  std::deque<Clock::time_point> rxAt;
  struct Out {
    std::shared_ptr<UsbIo> io;
    uint32_t moved = 0;
    bool hang = false;
  };
  std::deque<Out> bulkOut;
  unsigned hangOut = 0;
  unsigned failIn = 0;
  DWORD failInError = USB_CRC_ERROR;
  BridgeWiring wiring = BridgeWiring::None;
  Port* peer = nullptr;
  BridgeModel::Impl* peerOwner = nullptr;
  bool eof = false;
  // Pacing: the line is busy until lineFree; `idle` says the next byte starts from "now".
  Clock::time_point lineFree;
  bool idle = true;
  // An external far end (wiring External) and its transmitter: the byte on the wire arrives at
  // farFree; `farIdle` says the next one starts from "now".
  std::shared_ptr<ExternalLine> external;
  Clock::time_point farFree;
  bool farIdle = true;
  bool farByteOnWire = false;
  uint8_t farByte = 0;
  bool farAccepting = false;  // as last told to the far end
  bool farPresent = false;    // the far end's RTS and DTR, as of the latest look

  uint32_t Controls() const { return Le32(&s.flow[0]); }
  uint32_t Replace() const { return Le32(&s.flow[4]); }
};

struct BridgeModel::Impl {
  BridgeModel* self = nullptr;
  BridgeConfig cfg;
  UsbDeviceId id = 0;
  bool plugged = false;
  uint8_t deviceLatch = 0;
  std::vector<Port> ports;
  // Descriptors as GetDeviceInfo reports them.
  std::vector<std::vector<USB_ENDPOINT>> endpoints;
  std::vector<USB_INTERFACE> interfaces;
  USB_CONFIGURATION config = {};
  USB_DEVICE device = {};
  // The request log: its latest entries (cfg.logEntries, cfg.logDataBytes), the first of them
  // entry number logBase since the last ClearLog; logData counts the bytes their data holds.
  std::deque<BridgeLogEntry> log;
  uint64_t logBase = 0;
  size_t logData = 0;
  std::array<size_t, 256> answered = {};  // control requests since the last ClearLog, by bRequest
  std::map<const UsbIo*, uint64_t> logIndex;        // pending bulk transfers' log entries
  std::map<const UsbIo*, uint32_t> takenAtRemoval;  // bulk OUT bytes taken, until cancelled
  std::vector<Fault> faults;
  std::map<uint8_t, StringFault> stringFaults;
  std::map<uint8_t, unsigned> stringReads;
  int removeOn = -2;  // -2: none
  std::array<uint8_t, 64> properties = {};

  Port* PortByIface(unsigned iface) { return iface < ports.size() ? &ports[iface] : nullptr; }

  // ---- Lines ----
  // An external far end has no modem lines: its RTS and DTR read as on while it is there.
  bool CtsIn(const Port& p) const {
    if (p.wiring == BridgeWiring::External) return p.farPresent;
    if (p.wiring == BridgeWiring::Loopback) return p.s.rts;
    if (p.wiring == BridgeWiring::NullModem && p.peer) return p.peer->s.rts;
    return p.testInputs & kCts;
  }
  bool DsrIn(const Port& p) const {
    if (p.wiring == BridgeWiring::External) return p.farPresent;
    if (p.wiring == BridgeWiring::Loopback) return p.s.dtr;
    if (p.wiring == BridgeWiring::NullModem && p.peer) return p.peer->s.dtr;
    return p.testInputs & kDsr;
  }
  bool DcdIn(const Port& p) const {
    if (p.wiring != BridgeWiring::None && (p.wiring != BridgeWiring::NullModem || p.peer))
      return DsrIn(p);
    return p.testInputs & kDcd;
  }
  void UpdateInputs(Port& p) {
    if (p.wiring == BridgeWiring::External) p.farPresent = p.external->Present();
    p.s.cts = CtsIn(p);
    p.s.dsr = DsrIn(p);
    p.s.dcd = DcdIn(p);
    p.s.ri = p.testInputs & kRi;
  }

  // Drives DTR and RTS from the manual levels and the flow record's modes.
  static void UpdateOutputs(Port& p, uint32_t rxLevel, const BridgeConfig& cfg) {
    if (rxLevel > cfg.rtsHighWater) p.handshakeLineUp = false;
    if (rxLevel < cfg.rtsLowWater) p.handshakeLineUp = true;
    uint32_t dtrMode = p.Controls() & 0x03;
    uint32_t rtsMode = p.Replace() & 0xC0;
    // Under handshake the line is up only while the FIFO has room and the host has not lowered
    // it: the host's own input flow control still drops the line.
    p.s.dtr = dtrMode == 2 ? p.handshakeLineUp && p.dtrManual : p.dtrManual;
    if (rtsMode == 0x80)
      p.s.rts = p.handshakeLineUp && p.rtsManual;
    else if (rtsMode == 0xC0)
      p.s.rts = !p.tx.empty() || !p.immediate.empty() || !p.bulkOut.empty();
    else
      p.s.rts = p.rtsManual;
  }

  // Brings every port's outputs, then every port's inputs, up to date (wiring crosses models).
  static void RefreshLines() {
    for (Impl* m : W().models)
      for (Port& p : m->ports) UpdateOutputs(p, static_cast<uint32_t>(p.rx.size()), m->cfg);
    for (Impl* m : W().models)
      for (Port& p : m->ports) m->UpdateInputs(p);
  }

  double ByteSeconds(const Port& p) const {
    unsigned data = p.s.lineControl >> 8;
    unsigned parity = (p.s.lineControl >> 4) & 0x0F;
    unsigned stop = p.s.lineControl & 0x0F;
    double bits = 1.0 + data + (parity ? 1.0 : 0.0) + (stop == 0 ? 1.0 : stop == 1 ? 1.5 : 2.0);
    return bits / std::max<uint32_t>(p.s.baud, 1);
  }

  // `at` is when the byte's stop bit ended on the line.
  void Receive(Port& p, uint8_t b, Clock::time_point at) {
    W().again = true;
    if (!p.s.enabled) {
      ++p.s.rxDroppedDisabled;
      return;
    }
    if (p.Replace() & 0x01) {
      if (b == p.s.chars[5]) {
        p.s.xoffHeld = true;
        return;
      }
      if (b == p.s.chars[4]) {
        p.s.xoffHeld = false;
        return;
      }
    }
    if (p.rx.size() >= cfg.rxFifoSize) {
      ++p.s.rxOverflow;
      return;
    }
    NoteArrival(p, at);
    p.rx.push_back(b);
    p.rxAt.push_back(p.rxAt.empty() ? at : std::max(at, p.rxAt.back()));  // in FIFO order
    // The handshake reacts to every byte, as a UART's does, so a sender catching up on line time
    // in one burst still sees RTS drop in time.
    UpdateOutputs(p, static_cast<uint32_t>(p.rx.size()), cfg);
    InputFlow(p);
  }

  static void NoteArrival(Port& p, Clock::time_point at) {
    p.rxLatest = at;
    if (p.rx.empty()) p.rxOldest = p.rxLatest;
  }

  // XON/XOFF on input: XoffChar once the FIFO's free space falls to xoffLimit, XonChar once the
  // host has drained it to xonLimit. The character is put on the line at once, ahead of queued
  // data, so the far end stops within the byte it is sending. The limits come from the host's
  // settings, which are sized for the host's buffer: the bridge caps each at a quarter of its
  // FIFO. Limits that overlap never make the two alternate: XON wins.
  void InputFlow(Port& p) {
    if (!(p.Replace() & 0x02)) return;
    const uint32_t used = static_cast<uint32_t>(p.rx.size());
    const uint32_t freeRoom = cfg.rxFifoSize > used ? cfg.rxFifoSize - used : 0;
    const uint32_t cap = cfg.rxFifoSize / 4;
    const uint32_t xonLimit = std::min(Le32(&p.s.flow[8]), cap);
    const uint32_t xoffLimit = std::min(Le32(&p.s.flow[12]), cap);
    if (p.s.xoffSent && used <= xonLimit) {
      p.s.xoffSent = false;
      Emit(p, p.s.chars[4], Clock::now());
    } else if (!p.s.xoffSent && freeRoom <= xoffLimit && used > xonLimit) {
      p.s.xoffSent = true;
      Emit(p, p.s.chars[5], Clock::now());
    }
  }

  void Emit(Port& p, uint8_t b, Clock::time_point at) {
    unsigned data = p.s.lineControl >> 8;
    if (data >= 5 && data < 8) b = static_cast<uint8_t>(b & ((1u << data) - 1));
    if (p.wiring == BridgeWiring::External) {
      // Decided on the same look at the far end as the CTS handshake's, just before this byte.
      if (p.farPresent) {
        p.external->Put(b);  // not kept in `sent`: a long session would grow it without bound
      } else {
        ++p.s.txLostFarEndAbsent;
      }
      return;
    }
    p.sent.push_back(b);
    // Beyond the window, the oldest half goes at once: a long run costs one move per window.
    if (cfg.sentKeep && p.sent.size() > cfg.sentKeep)
      p.sent.erase(p.sent.begin(), p.sent.end() - cfg.sentKeep / 2);
    if (p.wiring == BridgeWiring::Loopback) {
      Receive(p, b, at);
    } else if (p.wiring == BridgeWiring::NullModem && p.peer) {
      p.peerOwner->Receive(*p.peer, b, at);
    }
    W().log.notify_all();
  }

  bool DestinationFull(const Port& p) const {
    // An absent far end takes (and loses) everything.
    if (p.wiring == BridgeWiring::External) return p.farPresent && p.external->Full();
    if (p.wiring == BridgeWiring::Loopback) return p.s.enabled && p.rx.size() >= cfg.rxFifoSize;
    if (p.wiring == BridgeWiring::NullModem && p.peer)
      return p.peer->s.enabled && p.peer->rx.size() >= p.peerOwner->cfg.rxFifoSize;
    return false;
  }

  uint32_t HoldReasons(const Port& p) const {
    bool pending = !p.tx.empty() || !p.immediate.empty() || !p.bulkOut.empty();
    uint32_t h = 0;
    if (pending && (p.Controls() & 0x08) && !p.s.cts) h |= 0x01;
    if (pending && (p.Controls() & 0x10) && !p.s.dsr) h |= 0x02;
    if (p.s.xoffHeld) h |= 0x08;
    if (p.s.xoffSent) h |= 0x10;
    return h;
  }

  bool CanSend(const Port& p) const {
    if (!p.s.enabled || p.s.breakOn || p.s.xoffHeld) return false;
    if (p.s.xoffSent && !(p.Replace() & 0x80000000u)) return false;
    if ((p.Controls() & 0x08) && !p.s.cts) return false;
    if ((p.Controls() & 0x10) && !p.s.dsr) return false;
    return true;
  }

  void FinishLog(const UsbIo* io, DWORD err, const uint8_t* data, uint32_t n) {
    auto it = logIndex.find(io);
    if (it == logIndex.end()) return;
    if (it->second >= logBase && it->second - logBase < log.size()) {
      BridgeLogEntry& e = log[static_cast<size_t>(it->second - logBase)];
      e.usbError = err;
      if (data) {
        logData -= e.data.size();
        e.data.assign(data, data + n);
        logData += n;
      }
    }
    logIndex.erase(it);
    TrimLog();
    W().log.notify_all();
  }

  // Appends an entry; returns its number.
  uint64_t AddLog(BridgeLogEntry&& entry) {
    logData += entry.data.size();
    log.push_back(std::move(entry));
    const uint64_t number = logBase + log.size() - 1;
    TrimLog();
    W().log.notify_all();
    return number;
  }

  // Lets the oldest entries go beyond the configured window; the newest always stays.
  void TrimLog() {
    while (log.size() > 1 && ((cfg.logEntries && log.size() > cfg.logEntries) ||
                              (cfg.logDataBytes && logData > cfg.logDataBytes))) {
      logData -= log.front().data.size();
      log.pop_front();
      ++logBase;
    }
  }

  void CompleteBulk(const std::shared_ptr<UsbIo>& io, const uint8_t* data, uint32_t n, DWORD err) {
    FinishLog(io.get(), err, io->in ? data : nullptr, n);
    io->Complete(data, n, err);
  }

  // Bulk OUT data enters the transmit FIFO a whole packet at a time: the bridge acknowledges a
  // packet only when it has room for all of it, so what it has taken of a transfer is always a
  // count of whole packets (the last one may be short).
  void TakePackets(Port& p, Port::Out& o) {
    const uint32_t packet = std::max<uint32_t>(p.outPacket, 1);
    for (;;) {
      const uint32_t n = std::min(packet, o.io->length - o.moved);
      if (n == 0 || p.tx.size() + std::min(n, cfg.txFifoSize) > cfg.txFifoSize) return;
      p.tx.insert(p.tx.end(), o.io->outData.begin() + o.moved, o.io->outData.begin() + o.moved + n);
      o.moved += n;
    }
  }

  // When a bulk IN of `length` bytes at the head is answered from a FIFO holding bytes. Like the
  // bridge's receive timer: a transfer the FIFO cannot fill waits while bytes keep coming, until a
  // paced line has been quiet for two byte times (rxQuietMicros at least) or the first waiting
  // byte has waited rxFlushMicros; on an unpaced line a byte goes at once.
  // The moment itself (before `now` when the engine is late) goes to *timer, where the transfer
  // is answered with what had arrived by then; a full transfer leaves it at max().
  Clock::time_point InAnswerDue(const Port& p, uint32_t length, Clock::time_point now,
                                Clock::time_point* timer = nullptr) const {
    if (timer != nullptr) *timer = Clock::time_point::max();
    if (p.rx.size() >= length) return now;
    const double gap = cfg.paced ? std::max(2 * ByteSeconds(p), cfg.rxQuietMicros * 1e-6) : 0.0;
    const Clock::time_point quiet = p.rxLatest + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(gap));
    const Clock::time_point aged = p.rxOldest + std::chrono::microseconds(cfg.rxFlushMicros);
    if (timer != nullptr) *timer = std::min(quiet, aged);
    return std::max(now, std::min(quiet, aged));
  }

  // Moves time forward for one port's line: bulk OUT into the FIFO, the shifter, an external far
  // end's transmitter. Lowers `next` to when it needs to run again.
  void Advance(Port& p, Clock::time_point now, Clock::time_point* next) {
    UpdateInputs(p);
    // Bulk OUT into the transmit FIFO; a transfer completes once all of it is accepted.
    if (p.s.enabled) {
      while (!p.bulkOut.empty()) {
        Port::Out& o = p.bulkOut.front();
        if (o.hang) break;
        TakePackets(p, o);
        if (o.moved < o.io->length) break;
        std::shared_ptr<UsbIo> io = o.io;
        p.bulkOut.pop_front();
        CompleteBulk(io, nullptr, io->length, USB_NO_ERROR);
      }
    }
    // The shifter.
    for (;;) {
      bool has = !p.immediate.empty() || !p.tx.empty();
      UpdateInputs(p);  // the far end's handshake line as of this byte
      if (!has || !CanSend(p)) {
        p.idle = true;
        break;
      }
      if ((!cfg.paced || p.wiring == BridgeWiring::External) && DestinationFull(p)) {
        // An unpaced line is a test convenience: it never overruns the far end's FIFO. An
        // external far end that takes no more (a terminal nobody reads) makes the line wait.
        p.idle = true;
        break;
      }
      if (cfg.paced) {
        if (p.idle) {
          p.lineFree = now;
          p.idle = false;
        }
        auto byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(ByteSeconds(p)));
        if (p.lineFree + byteTime > now) {
          // Not due yet. The engine comes back once a time slice's worth of bytes is due (or the
          // last queued byte, if sooner), not once per byte; each byte still leaves and arrives
          // at its own line time, and the handshake is checked before every byte.
          const Clock::time_point lastEnd = p.lineFree + byteTime * TxQueued(p);
          *next =
              std::min(*next, std::max(p.lineFree + byteTime, std::min(now + kLineSlice, lastEnd)));
          break;
        }
        p.lineFree += byteTime;
      }
      std::deque<uint8_t>& q = p.immediate.empty() ? p.tx : p.immediate;
      uint8_t b = q.front();
      q.pop_front();
      Emit(p, b, cfg.paced ? p.lineFree : now);
      // The FIFO has room again: refill from the head transfer within the same pass.
      if (p.tx.size() < cfg.txFifoSize && !p.bulkOut.empty() && p.s.enabled) {
        Port::Out& o = p.bulkOut.front();
        if (!o.hang) {
          TakePackets(p, o);
          if (o.moved == o.io->length) {
            std::shared_ptr<UsbIo> io = o.io;
            p.bulkOut.pop_front();
            CompleteBulk(io, nullptr, io->length, USB_NO_ERROR);
          }
        }
      }
    }
    FarEndSends(p, now, next);
  }

  // Answers the port's bulk IN transfers from its FIFO and updates its handshake. Runs once every
  // port's line has been brought up to `now` in the pass, so that a receive timer that runs out
  // sees every byte the line has delivered by then, as a device does.
  void AnswerIn(Port& p, Clock::time_point now, Clock::time_point* next) {
    // Bulk IN from the host-bound FIFO; short transfers are fine.
    while (!p.bulkIn.empty() && p.failIn) {
      std::shared_ptr<UsbIo> io = p.bulkIn.front();
      p.bulkIn.pop_front();
      --p.failIn;
      CompleteBulk(io, nullptr, 0, p.failInError);
    }
    while (p.s.enabled && !p.bulkIn.empty() && !p.rx.empty()) {
      const std::shared_ptr<UsbIo>& head = p.bulkIn.front();
      Clock::time_point timer;
      const Clock::time_point due = InAnswerDue(p, head->length, now, &timer);
      if (due > now) {
        *next = std::min(*next, due);
        break;
      }
      std::shared_ptr<UsbIo> io = head;
      p.bulkIn.pop_front();
      uint32_t n = std::min<uint32_t>(io->length, static_cast<uint32_t>(p.rx.size()));
      // A device answers when its timer runs out: bytes that came after that (while the engine
      // was late) wait for the next transfer. The first byte always goes.
      if (timer != Clock::time_point::max()) {
        const auto upTo = std::upper_bound(p.rxAt.begin(), p.rxAt.begin() + n, timer);
        n = std::max<uint32_t>(1, static_cast<uint32_t>(upTo - p.rxAt.begin()));
      }
      std::vector<uint8_t> chunk(p.rx.begin(), p.rx.begin() + n);
      p.rx.erase(p.rx.begin(), p.rx.begin() + n);
      p.rxAt.erase(p.rxAt.begin(), p.rxAt.begin() + n);
      if (!p.rx.empty()) p.rxOldest = p.rxAt.front();
      W().again = true;  // a sender held by this full FIFO may go on
      CompleteBulk(io, chunk.data(), n, USB_NO_ERROR);
    }
    InputFlow(p);
    UpdateOutputs(p, static_cast<uint32_t>(p.rx.size()), cfg);
    p.s.rxFifoLevel = static_cast<uint32_t>(p.rx.size());
    p.s.txQueued = TxQueued(p);
    p.s.holdReasons = HoldReasons(p);
  }

  // The transmitter of an external far end. It sends only while this port would take a byte
  // (enabled, RTS on, room in the FIFO), as a sender that honours RTS as its CTS; meanwhile it
  // reads nothing new from its source. A byte already on the wire still arrives. Paced, each byte
  // arrives one byte time after the previous one, or after it was read when the line was idle.
  void FarEndSends(Port& p, Clock::time_point now, Clock::time_point* next) {
    if (p.wiring != BridgeWiring::External) return;
    const auto byteTime =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(ByteSeconds(p)));
    for (;;) {
      if (p.farByteOnWire) {
        if (cfg.paced && p.farFree > now) {
          *next = std::min(*next, p.farFree);
          return;
        }
        p.farByteOnWire = false;
        Receive(p, p.farByte, cfg.paced ? p.farFree : now);
      }
      const bool accepting = p.s.enabled && p.s.rts && p.rx.size() < cfg.rxFifoSize;
      if (accepting != p.farAccepting) {
        p.farAccepting = accepting;
        p.external->Accepting(accepting);
      }
      if (!accepting || !p.external->Get(&p.farByte)) {
        p.farIdle = true;
        return;
      }
      p.farByteOnWire = true;
      p.farFree = (p.farIdle ? now : p.farFree) + byteTime;
      p.farIdle = false;
    }
  }

  static uint32_t TxQueued(const Port& p) {
    uint32_t queued = static_cast<uint32_t>(p.tx.size() + p.immediate.size());
    for (const Port::Out& o : p.bulkOut) queued += o.io->length - o.moved;
    return queued;
  }

  // ---- Control requests ----
  struct Answer {
    DWORD err = USB_NO_ERROR;
    std::vector<uint8_t> data;  // IN data
  };

  static Answer Stall() { return Answer{USB_STALL_ERROR, {}}; }

  std::vector<uint8_t> StringDescriptor(uint8_t index, bool* ok) {
    *ok = true;
    sim::WString text;
    if (index == 0) {
      return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
    } else if (index == 2 && cfg.hasProduct) {
      text = cfg.product;
    } else if ((index == 3 || index == 5) && cfg.hasSerial) {
      text = cfg.serial;
    } else {
      *ok = false;
      return {};
    }
    std::vector<uint8_t> d;
    d.push_back(static_cast<uint8_t>(std::min<size_t>(2 + 2 * text.size(), 254)));
    d.push_back(USB_STRING_DESCRIPTOR_TYPE);
    for (WCHAR c : text) {
      if (d.size() + 2 > 254) break;
      d.push_back(static_cast<uint8_t>(c & 0xFF));
      d.push_back(static_cast<uint8_t>(c >> 8));
    }
    return d;
  }

  std::vector<uint8_t> ConfigDescriptorBytes() {
    std::vector<uint8_t> d = {9,
                              USB_CONFIGURATION_DESCRIPTOR_TYPE,
                              0,
                              0,
                              static_cast<uint8_t>(interfaces.size()),
                              1,
                              0,
                              0x80,
                              50};
    for (const USB_INTERFACE& i : interfaces) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(&i.Descriptor);
      d.insert(d.end(), p, p + sizeof(USB_INTERFACE_DESCRIPTOR));
      for (DWORD e = 0; e < i.Descriptor.bNumEndpoints; ++e) {
        const uint8_t* q = reinterpret_cast<const uint8_t*>(&i.lpEndpoints[e].Descriptor);
        d.insert(d.end(), q, q + sizeof(USB_ENDPOINT_DESCRIPTOR));
      }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
  }

  Answer Standard(const USB_DEVICE_REQUEST& r) {
    if (r.bmRequestType == 0x80 && r.bRequest == 0x06) {
      uint8_t type = static_cast<uint8_t>(r.wValue >> 8);
      uint8_t index = static_cast<uint8_t>(r.wValue & 0xFF);
      Answer a;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&device.Descriptor);
        a.data.assign(p, p + sizeof(USB_DEVICE_DESCRIPTOR));
      } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        a.data = ConfigDescriptorBytes();
      } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
        StringFault f;
        if (auto it = stringFaults.find(index); it != stringFaults.end()) f = it->second;
        if (f.missing) return Stall();
        bool ok = false;
        a.data = StringDescriptor(index, &ok);
        if (!ok) return Stall();
        unsigned reads = ++stringReads[index];
        if (f.headerLength >= 0) a.data[0] = static_cast<uint8_t>(f.headerLength);
        if (reads > 1 && f.laterLength >= 0) a.data[0] = static_cast<uint8_t>(f.laterLength);
        if (reads > 1 && f.laterType >= 0) a.data[1] = static_cast<uint8_t>(f.laterType);
      } else {
        return Stall();
      }
      if (a.data.size() > r.wLength) a.data.resize(r.wLength);
      return a;
    }
    if (r.bmRequestType == 0x01 && r.bRequest == 0x0B && r.wLength == 0) {
      for (const USB_INTERFACE& i : interfaces)
        if (i.Descriptor.bInterfaceNumber == r.wIndex && r.wValue == 0) return Answer{};
      return Stall();
    }
    return Stall();
  }

  Port* IfacePort(const USB_DEVICE_REQUEST& r) {
    for (Port& p : ports)
      if (p.index == r.wIndex) return &p;
    return nullptr;
  }

  Answer Vendor(const USB_DEVICE_REQUEST& r, const std::vector<uint8_t>& out) {
    auto expect = [&](uint8_t type, uint16_t length) {
      return r.bmRequestType == type && r.wLength == length;
    };
    if (r.bRequest == kReqVendor) {
      uint8_t part = cfg.partNumber;
      bool deviceForm = part == 3 || part == 4 || part == 6;
      if (r.wValue == kVendorPartNumber && expect(kFromDevice, 1)) return Answer{0, {part}};
      if (r.wValue == kVendorWriteLatch && deviceForm && expect(kToDevice, 0)) {
        uint8_t mask = static_cast<uint8_t>(r.wIndex & 0xFF);
        uint8_t value = static_cast<uint8_t>(r.wIndex >> 8);
        deviceLatch = static_cast<uint8_t>((deviceLatch & ~mask) | (value & mask));
        return Answer{};
      }
      if (r.wValue == kVendorReadLatch && deviceForm && expect(kFromDevice, 1) && r.wIndex == 0)
        return Answer{0, {deviceLatch}};
      if (part == 5) {
        Port* p = IfacePort(r);
        if (p && r.wValue == kVendorWriteLatch && expect(kToIface, 2)) {
          p->s.latch = static_cast<uint8_t>((p->s.latch & ~out[0]) | (out[1] & out[0]));
          return Answer{};
        }
        if (p && r.wValue == kVendorReadLatch && expect(kFromIface, 1))
          return Answer{0, {p->s.latch}};
      }
      return Stall();
    }
    Port* pp = IfacePort(r);
    if (!pp) return Stall();
    Port& p = *pp;
    switch (r.bRequest) {
      case kReqInterfaceEnable:
        if (!expect(kToIface, 0) || (r.wValue != 0xFFFF && r.wValue != 0)) return Stall();
        p.s.enabled = r.wValue != 0;
        p.s.enableValue = r.wValue;
        return Answer{};
      case kReqLineControl: {
        if (!expect(kToIface, 0)) return Stall();
        unsigned stop = r.wValue & 0x0F, parity = (r.wValue >> 4) & 0x0F, data = r.wValue >> 8;
        if (stop > 2 || parity > 4 || data < 5 || data > 8) return Stall();
        p.s.lineControl = r.wValue;
        return Answer{};
      }
      case kReqBreak:
        if (!expect(kToIface, 0) || r.wValue > 1) return Stall();
        p.s.breakOn = r.wValue == 1;
        return Answer{};
      case kReqImmediateChar:
        if (!expect(kToIface, 0) || r.wValue > 0xFF) return Stall();
        p.immediate.push_back(static_cast<uint8_t>(r.wValue));
        ++p.s.immediateCount;
        return Answer{};
      case kReqModemHandshake:
        if (!expect(kToIface, 0) || (r.wValue & ~0x0303u)) return Stall();
        if (r.wValue & 0x0100) p.dtrManual = r.wValue & 0x01;
        if (r.wValue & 0x0200) p.rtsManual = r.wValue & 0x02;
        return Answer{};
      case kReqModemStatus: {
        if (!expect(kFromIface, 1)) return Stall();
        RefreshLines();
        uint8_t b = static_cast<uint8_t>((p.s.cts ? kCts : 0) | (p.s.dsr ? kDsr : 0) |
                                         (p.s.ri ? kRi : 0) | (p.s.dcd ? kDcd : 0) |
                                         (p.s.dtr ? 0x01 : 0) | (p.s.rts ? 0x02 : 0));
        return Answer{0, {b}};
      }
      case kReqProperties:
        if (!expect(kFromIface, 64)) return Stall();
        return Answer{0, std::vector<uint8_t>(properties.begin(), properties.end())};
      case kReqCommStatus: {
        if (!expect(kFromIface, 19)) return Stall();
        std::vector<uint8_t> d(19, 0);
        p.s.txQueued = TxQueued(p);
        p.s.holdReasons = HoldReasons(p);
        PutLe32(&d[0], p.s.rxOverflow ? 0x01 : 0);
        PutLe32(&d[4], p.s.holdReasons);
        PutLe32(&d[8], static_cast<uint32_t>(p.rx.size()));
        PutLe32(&d[12], p.s.txQueued);
        d[16] = p.eof ? 1 : 0;
        d[17] = p.immediate.empty() ? 0 : 1;
        return Answer{0, d};
      }
      case kReqReset:
        if (!expect(kToIface, 0) || r.wValue != 0) return Stall();
        ++p.s.resetCount;
        p.rx.clear();
        p.rxAt.clear();
        p.tx.clear();
        p.immediate.clear();
        p.s.breakOn = false;
        p.s.xoffHeld = false;
        return Answer{};
      case kReqPurge:
        if (!expect(kToIface, 0) || r.wValue > 0xFF) return Stall();
        ++p.s.purgeCount;
        p.s.lastPurge = static_cast<uint8_t>(r.wValue);
        if (r.wValue & (PURGE_TXABORT | PURGE_TXCLEAR)) p.tx.clear();
        if (r.wValue & (PURGE_RXABORT | PURGE_RXCLEAR)) {
          p.rx.clear();
          p.rxAt.clear();
        }
        return Answer{};
      case kReqFlow:
        if (!expect(kToIface, 16)) return Stall();
        std::copy(out.begin(), out.begin() + 16, p.s.flow.begin());
        // The flow record's line modes set the outputs as a UART does when reconfigured.
        if ((p.Controls() & 0x03) == 1 || (p.Controls() & 0x03) == 2) p.dtrManual = true;
        if ((p.Controls() & 0x03) == 0) p.dtrManual = false;
        if ((p.Replace() & 0xC0) == 0x40 || (p.Replace() & 0xC0) == 0x80) p.rtsManual = true;
        if ((p.Replace() & 0xC0) == 0x00) p.rtsManual = false;
        // With XON/XOFF on output switched off, an XOFF received earlier no longer holds the
        // transmitter.
        if (!(p.Replace() & 0x01)) p.s.xoffHeld = false;
        return Answer{};
      case kReqSpecialChars:
        if (!expect(kToIface, 6)) return Stall();
        std::copy(out.begin(), out.begin() + 6, p.s.chars.begin());
        return Answer{};
      case kReqBaudRate: {
        if (!expect(kToIface, 4)) return Stall();
        uint32_t baud = Le32(out.data());
        if (baud == 0 || baud > 3000000) return Stall();
        p.s.baud = baud;
        return Answer{};
      }
      default:
        return Stall();
    }
  }

  Answer Control(const USB_DEVICE_REQUEST& r, const std::vector<uint8_t>& out) {
    if ((r.bmRequestType & 0x60) == 0x00) return Standard(r);
    if ((r.bmRequestType & 0x60) == 0x40) return Vendor(r, out);
    return Stall();
  }

  void Notify() { W().cv.notify_all(); }
};

namespace {

void WorkerLoop() {
  sched::EnterSimulationThread();
  os_detail::CpuAccount account(ThreadKind::BridgeModel);
  std::unique_lock<std::mutex> lock(W().mu);
  for (;;) {
    // A pass that changed another port runs again at the same instant: only that change is taken
    // further, and time (and with it the next byte) moves on only when the engine next wakes.
    const Clock::time_point now = Clock::now();
    Clock::time_point next;
    do {
      next = Clock::time_point::max();
      W().again = false;
      for (BridgeModel::Impl* m : W().models)
        for (BridgeModel::Port& p : m->ports) m->Advance(p, now, &next);
      for (BridgeModel::Impl* m : W().models)
        for (BridgeModel::Port& p : m->ports) m->AnswerIn(p, now, &next);
    } while (W().again);
    W().due = next;
    os_detail::NoteBlocked();
    bool timedOut = false;
    if (next == Clock::time_point::max())
      W().cv.wait(lock);
    else
      timedOut = W().cv.wait_until(lock, next) == std::cv_status::timeout;
    os_detail::NoteWoken(timedOut);
  }
}

}  // namespace

std::shared_ptr<BridgeModel> BridgeModel::Create(BridgeConfig config) {
  return std::shared_ptr<BridgeModel>(new BridgeModel(std::move(config)));
}

BridgeModel::BridgeModel(BridgeConfig config) : config_(config), impl_(new Impl) {
  Impl& m = *impl_;
  m.self = this;
  m.cfg = config_;
  m.deviceLatch = config_.latch;
  unsigned n = config_.interfaces;
  m.endpoints.resize(n);
  m.ports.resize(n);
  for (unsigned i = 0; i < n; ++i) {
    std::vector<BridgeEndpointLayout> layout;
    if (i < config_.endpoints.size()) {
      layout = config_.endpoints[i];
    } else {
      layout = {{static_cast<uint8_t>(0x81 + i), USB_ENDPOINT_TYPE_BULK, 64},
                {static_cast<uint8_t>(0x01 + i), USB_ENDPOINT_TYPE_BULK, 64}};
    }
    Port& p = m.ports[i];
    p.index = i;
    p.s.latch = config_.latch;
    for (const BridgeEndpointLayout& e : layout) {
      USB_ENDPOINT ep = {};
      ep.dwCount = sizeof(USB_ENDPOINT);
      ep.Descriptor = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes, e.maxPacket, 0};
      m.endpoints[i].push_back(ep);
      bool bulk = (e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK;
      if (bulk && (e.address & 0x80) && !p.inEp) p.inEp = e.address;
      if (bulk && !(e.address & 0x80) && !p.outEp) {
        p.outEp = e.address;
        p.outPacket = e.maxPacket;
      }
    }
  }
  for (unsigned i = 0; i < n; ++i) {
    USB_INTERFACE iface = {};
    iface.dwCount = sizeof(USB_INTERFACE);
    iface.Descriptor = {9,
                        USB_INTERFACE_DESCRIPTOR_TYPE,
                        static_cast<UCHAR>(i),
                        0,
                        static_cast<UCHAR>(m.endpoints[i].size()),
                        0xFF,
                        0,
                        0,
                        2};
    iface.lpEndpoints = m.endpoints[i].empty() ? nullptr : m.endpoints[i].data();
    m.interfaces.push_back(iface);
  }
  m.config.dwCount = sizeof(USB_CONFIGURATION);
  m.config.Descriptor = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, static_cast<UCHAR>(n), 1, 0, 0x80,
                         50};
  m.config.dwNumInterfaces = n;
  m.config.lpInterfaces = m.interfaces.empty() ? nullptr : m.interfaces.data();
  m.device.dwCount = sizeof(USB_DEVICE);
  m.device.Descriptor = {18,
                         USB_DEVICE_DESCRIPTOR_TYPE,
                         0x0110,
                         0,
                         0,
                         0,
                         64,
                         config_.vendorId,
                         config_.productId,
                         config_.release,
                         1,
                         2,
                         3,
                         1};
  m.device.lpConfigs = &m.config;
  m.device.lpActiveConfig = &m.config;

  COMMPROP prop = {};
  prop.wPacketLength = 64;
  prop.wPacketVersion = 2;
  prop.dwServiceMask = 0x00000001;  // SP_SERIALCOMM
  prop.dwMaxTxQueue = 0;
  prop.dwMaxRxQueue = 0;
  prop.dwMaxBaud = 0x10000000;      // BAUD_USER
  prop.dwProvSubType = 0x00000001;  // PST_RS232
  prop.dwProvCapabilities = 0x000000FF;
  prop.dwSettableParams = 0x0000007F;
  prop.dwSettableBaud = 0x1006FFFF;
  prop.wSettableData = 0x000F;
  prop.wSettableStopParity = 0x1F13;
  prop.dwCurrentTxQueue = config_.txFifoSize;
  prop.dwCurrentRxQueue = config_.rxFifoSize;
  std::memcpy(m.properties.data(), &prop, sizeof(prop));

  std::lock_guard<std::mutex> lock(W().mu);
  W().models.push_back(impl_.get());
  if (!W().started) {
    W().started = true;
    W().worker = std::thread(WorkerLoop);
    W().worker.detach();
  }
}

BridgeModel::~BridgeModel() {
  std::lock_guard<std::mutex> lock(W().mu);
  auto& v = W().models;
  v.erase(std::remove(v.begin(), v.end(), impl_.get()), v.end());
  // A peer keeps no pointer into this model's ports.
  for (Impl* other : v)
    for (Port& q : other->ports) {
      for (Port& p : impl_->ports)
        if (q.peer == &p) {
          q.peer = nullptr;
          q.peerOwner = nullptr;
          q.wiring = BridgeWiring::None;
        }
    }
}

UsbDeviceId BridgeModel::Plug(PlugOptions options) {
  {
    std::lock_guard<std::mutex> lock(W().mu);
    if (impl_->plugged) return 0;
  }
  if (LibusbPathSelected()) return PlugThroughLibusb(shared_from_this(), options);
  return sim::Plug(shared_from_this(), options);
}

bool BridgeModel::Unplug() {
  if (LibusbPathSelected()) return UnplugFromLibusb(this);
  UsbDeviceId id;
  {
    std::lock_guard<std::mutex> lock(W().mu);
    id = impl_->id;
  }
  return id && sim::Unplug(id);
}

UsbDeviceId BridgeModel::Id() const {
  std::lock_guard<std::mutex> lock(W().mu);
  return impl_->id;
}

BridgePortState BridgeModel::State(unsigned iface) const {
  std::lock_guard<std::mutex> lock(W().mu);
  Port* p = impl_->PortByIface(iface);
  if (!p) return {};
  Impl::RefreshLines();
  p->s.rxFifoLevel = static_cast<uint32_t>(p->rx.size());
  p->s.holdReasons = impl_->HoldReasons(*p);
  p->s.txQueued = Impl::TxQueued(*p);
  return p->s;
}

uint8_t BridgeModel::DeviceLatch() const {
  std::lock_guard<std::mutex> lock(W().mu);
  return impl_->deviceLatch;
}

void BridgeModel::SetModemInputs(unsigned iface, uint8_t lines) {
  std::lock_guard<std::mutex> lock(W().mu);
  if (Port* p = impl_->PortByIface(iface)) p->testInputs = lines;
  impl_->Notify();
}

void BridgeModel::SetPaced(bool paced) {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->cfg.paced = paced;
  config_.paced = paced;
  impl_->Notify();
}

void BridgeModel::Loopback(unsigned iface) {
  Disconnect(iface);
  std::lock_guard<std::mutex> lock(W().mu);
  if (Port* p = impl_->PortByIface(iface)) p->wiring = BridgeWiring::Loopback;
  impl_->Notify();
}

void BridgeModel::NullModem(const std::shared_ptr<BridgeModel>& a, unsigned ifaceA,
                            const std::shared_ptr<BridgeModel>& b, unsigned ifaceB) {
  a->Disconnect(ifaceA);
  b->Disconnect(ifaceB);
  std::lock_guard<std::mutex> lock(W().mu);
  Port* pa = a->impl_->PortByIface(ifaceA);
  Port* pb = b->impl_->PortByIface(ifaceB);
  if (!pa || !pb || pa == pb) return;
  pa->wiring = pb->wiring = BridgeWiring::NullModem;
  pa->peer = pb;
  pa->peerOwner = b->impl_.get();
  pb->peer = pa;
  pb->peerOwner = a->impl_.get();
  W().cv.notify_all();
}

void BridgeModel::ConnectExternal(unsigned iface, std::shared_ptr<ExternalLine> line) {
  Disconnect(iface);
  if (!line) return;
  // The far end's thread may call this at any time; taking the lock orders the wake-up after a
  // worker pass that found nothing to do, so it is never lost.
  line->SetWake([] {
    std::lock_guard<std::mutex> lock(W().mu);
    W().cv.notify_all();
  });
  std::lock_guard<std::mutex> lock(W().mu);
  Port* p = impl_->PortByIface(iface);
  if (!p) return;
  p->wiring = BridgeWiring::External;
  p->external = std::move(line);
  p->farIdle = true;
  p->farByteOnWire = false;
  p->farAccepting = false;
  impl_->Notify();
}

void BridgeModel::Disconnect(unsigned iface) {
  // Released after the lock: a far end's destructor may wait for its thread, which may be
  // waiting for the lock to wake the worker.
  std::shared_ptr<ExternalLine> external;
  std::lock_guard<std::mutex> lock(W().mu);
  Port* p = impl_->PortByIface(iface);
  if (!p) return;
  external = std::move(p->external);
  p->farByteOnWire = false;
  if (p->peer) {
    p->peer->peer = nullptr;
    p->peer->peerOwner = nullptr;
    p->peer->wiring = BridgeWiring::None;
  }
  p->peer = nullptr;
  p->peerOwner = nullptr;
  p->wiring = BridgeWiring::None;
  impl_->Notify();
}

size_t BridgeModel::InjectRx(unsigned iface, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(W().mu);
  Port* p = impl_->PortByIface(iface);
  if (!p) return 0;
  size_t stored = 0;
  const Clock::time_point now = Clock::now();
  for (uint8_t b : bytes) {
    if (p->rx.size() >= impl_->cfg.rxFifoSize) {
      ++p->s.rxOverflow;
      continue;
    }
    impl_->NoteArrival(*p, now);
    p->rx.push_back(b);
    p->rxAt.push_back(now);
    impl_->InputFlow(*p);
    ++stored;
  }
  impl_->Notify();
  return stored;
}

std::vector<uint8_t> BridgeModel::TakeSent(unsigned iface) {
  std::lock_guard<std::mutex> lock(W().mu);
  Port* p = impl_->PortByIface(iface);
  std::vector<uint8_t> out;
  if (p) out.swap(p->sent);
  return out;
}

std::vector<uint8_t> BridgeModel::WaitSent(unsigned iface, size_t count, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(W().mu);
  Port* p = impl_->PortByIface(iface);
  std::vector<uint8_t> out;
  if (!p) return out;
  W().log.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                   [&] { return p->sent.size() >= count; });
  out.swap(p->sent);
  return out;
}

std::vector<BridgeLogEntry> BridgeModel::Log() const {
  std::lock_guard<std::mutex> lock(W().mu);
  return std::vector<BridgeLogEntry>(impl_->log.begin(), impl_->log.end());
}

void BridgeModel::ClearLog() {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->log.clear();
  impl_->logBase = 0;
  impl_->logData = 0;
  impl_->answered.fill(0);
  impl_->logIndex.clear();
}

bool BridgeModel::WaitForLog(const std::function<bool(const BridgeLogEntry&)>& pred,
                             uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(W().mu);
  return W().log.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return std::any_of(impl_->log.begin(), impl_->log.end(), pred); });
}

bool BridgeModel::WaitForRequest(uint8_t bRequest, uint32_t timeoutMs) {
  return WaitForLog(
      [&](const BridgeLogEntry& e) {
        return e.kind == BridgeLogEntry::Kind::Control && e.setup.bRequest == bRequest &&
               e.usbError != USB_NOT_COMPLETE_ERROR;
      },
      timeoutMs);
}

size_t BridgeModel::CountRequests(uint8_t bRequest) const {
  std::lock_guard<std::mutex> lock(W().mu);
  return impl_->answered[bRequest];
}

void BridgeModel::FailNext(int bRequest, unsigned count, DWORD usbError) {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->faults.push_back(Fault{bRequest, count, usbError, 0, false});
}

void BridgeModel::ShortAnswerNext(int bRequest, unsigned count, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->faults.push_back(Fault{bRequest, count, USB_NO_ERROR, bytes, true});
}

void BridgeModel::HangNextBulkOut(unsigned iface, unsigned count) {
  std::lock_guard<std::mutex> lock(W().mu);
  if (Port* p = impl_->PortByIface(iface)) p->hangOut += count;
}

void BridgeModel::FailNextBulkIn(unsigned iface, unsigned count, DWORD usbError) {
  std::lock_guard<std::mutex> lock(W().mu);
  if (Port* p = impl_->PortByIface(iface)) {
    p->failIn += count;
    p->failInError = usbError;
  }
  impl_->Notify();
}

void BridgeModel::SetStringFault(uint8_t index, StringFault fault) {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->stringFaults[index] = fault;
  impl_->stringReads[index] = 0;
}

void BridgeModel::RemoveOnRequest(int bRequest) {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->removeOn = bRequest;
}

void BridgeModel::SetEofReceived(unsigned iface, bool eof) {
  std::lock_guard<std::mutex> lock(W().mu);
  if (Port* p = impl_->PortByIface(iface)) p->eof = eof;
}

LPCUSB_DEVICE BridgeModel::DeviceInfo() {
  return &impl_->device;
}

void BridgeModel::Plugged(UsbDeviceId id) {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->id = id;
  impl_->plugged = true;
}

void BridgeModel::Unplugged() {
  std::lock_guard<std::mutex> lock(W().mu);
  impl_->plugged = false;
  // The host stack completes what was outstanding; the model just forgets it, keeping what each
  // bulk OUT had delivered for the host stack's count.
  for (Port& p : impl_->ports) {
    for (const Port::Out& o : p.bulkOut) impl_->takenAtRemoval[o.io.get()] = o.moved;
    p.bulkIn.clear();
    p.bulkOut.clear();
  }
  impl_->logIndex.clear();
}

void BridgeModel::Submit(const std::shared_ptr<UsbIo>& io) {
  std::unique_lock<std::mutex> lock(W().mu);
  Impl& m = *impl_;
  BridgeLogEntry entry;
  entry.endpoint = io->endpoint;
  entry.in = io->in;
  entry.length = io->length;
  entry.flags = io->flags;
  if (!m.plugged) {
    lock.unlock();
    io->Complete(nullptr, 0, USB_DEVICE_NOT_RESPONDING_ERROR);
    return;
  }
  if (io->kind == UsbIo::Kind::Bulk) {
    entry.kind = io->in ? BridgeLogEntry::Kind::BulkIn : BridgeLogEntry::Kind::BulkOut;
    if (!io->in) entry.data = io->outData;
    m.logIndex[io.get()] = m.AddLog(std::move(entry));
    Port* port = nullptr;
    for (Port& p : m.ports)
      if ((io->in && p.inEp == io->endpoint) || (!io->in && p.outEp == io->endpoint)) port = &p;
    // Endpoints the bridge does not use for data (interrupt, a second bulk IN) never answer.
    if (!port) return;
    if (io->in) {
      port->bulkIn.push_back(io);
      // Nothing answers a bulk IN while the FIFO is empty, and bytes enter it only in the engine's
      // pass or through calls that wake the engine themselves: the engine need not wake for it.
      if (port->rx.empty() && port->failIn == 0) return;
      // Nor when the engine's next pass, already due, comes no later than the transfer can be
      // answered: a wake would only reschedule it. (A worker just woken passes at once.)
      if (port->failIn == 0 && port->s.enabled && port->bulkIn.size() == 1 &&
          W().due <= m.InAnswerDue(*port, io->length, Clock::now()))
        return;
    } else {
      Port::Out o{io, 0, false};
      if (port->hangOut) {
        --port->hangOut;
        o.hang = true;
      }
      port->bulkOut.push_back(std::move(o));
    }
    m.Notify();
    return;
  }
  entry.kind = BridgeLogEntry::Kind::Control;
  entry.setup = io->setup;
  if (!io->in) entry.data = io->outData;
  const USB_DEVICE_REQUEST& r = io->setup;
  Impl::Answer a;
  bool decided = false;
  bool remove = false;
  if (m.removeOn != -2 && (m.removeOn == BridgeModel::kAnyRequest || m.removeOn == r.bRequest)) {
    m.removeOn = -2;
    a.err = USB_DEVICE_NOT_RESPONDING_ERROR;
    decided = remove = true;
  }
  uint32_t shortBytes = UINT32_MAX;
  for (auto it = m.faults.begin(); !decided && it != m.faults.end(); ++it) {
    if (it->bRequest != BridgeModel::kAnyRequest && it->bRequest != r.bRequest) continue;
    if (it->isShort && !io->in) continue;
    if (it->isShort) {
      shortBytes = it->shortBytes;
    } else {
      a.err = it->usbError;
      decided = true;
    }
    if (--it->count == 0) m.faults.erase(it);
    break;
  }
  if (!decided) {
    // The host stack guarantees outData.size() == wLength for OUT requests.
    a = m.Control(r, io->outData);
    Impl::RefreshLines();
  }
  if (a.err == USB_NO_ERROR && a.data.size() > shortBytes) a.data.resize(shortBytes);
  entry.usbError = a.err;
  if (io->in) entry.data = a.data;
  ++m.answered[r.bRequest];
  m.AddLog(std::move(entry));
  m.Notify();
  UsbDeviceId id = m.id;
  lock.unlock();
  io->Complete(a.data.data(), a.err == USB_NO_ERROR ? static_cast<uint32_t>(a.data.size()) : 0,
               a.err);
  if (remove && LibusbPathSelected())
    UnplugFromLibusb(this);
  else if (remove)
    sim::Unplug(id);
}

uint32_t BridgeModel::Cancel(const std::shared_ptr<UsbIo>& io) {
  std::lock_guard<std::mutex> lock(W().mu);
  uint32_t taken = 0;
  auto removed = impl_->takenAtRemoval.find(io.get());
  if (removed != impl_->takenAtRemoval.end()) {
    taken = removed->second;
    impl_->takenAtRemoval.erase(removed);
  }
  for (Port& p : impl_->ports) {
    auto& in = p.bulkIn;
    in.erase(std::remove(in.begin(), in.end(), io), in.end());
    auto& out = p.bulkOut;
    for (auto it = out.begin(); it != out.end(); ++it) {
      if (it->io != io) continue;
      taken = it->moved;
      out.erase(it);
      break;
    }
  }
  impl_->FinishLog(io.get(), USB_CANCELED_ERROR, nullptr, 0);
  impl_->Notify();
  return taken;
}

}  // namespace sim
