// The far end of a line on a Linux pseudo-terminal. One thread moves bytes between the terminal's
// master side and two bounded queues; the bridge model takes from and adds to the queues under its
// own lock, so nothing it calls blocks.
//
// Whether a program has the terminal open: Linux marks the master hung up (poll reports POLLHUP,
// whatever events were asked for) from the moment the last descriptor of the slave side is closed
// until the slave is opened again, and wakes the master's pollers when it sets the mark. So while
// the terminal is open the thread polls the master and sees the close as POLLHUP; while it is
// closed the master would report POLLHUP at once on every poll, so the thread leaves it out and
// waits instead for an open of the slave's device node (inotify's IN_OPEN, sent once the open has
// succeeded), then asks the master again. Without inotify it asks every 20 ms. The terminal's
// settings and any bytes it holds survive a close and reopen of the slave; only a program that
// flushes on open (pyserial does) discards what was left unread.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "sim/bridge_model/pty_line.h"
#include "sim/os/sched.h"

namespace sim {
namespace {

// Bytes from the terminal read ahead of the line, and the room that makes the thread read again:
// the line runs dry only if the thread is late by 3584 byte times (39 ms at 921600 baud), which
// rides out a loaded machine.
constexpr size_t kFromTerminalLimit = 4096;
constexpr size_t kFromTerminalRoom = 512;
// Bytes for the terminal not yet written to it; the line waits while this many are queued.
constexpr size_t kToTerminalLimit = 4096;
// Bytes for the terminal are written once 256 are queued or the first has waited 1 ms, so that a
// fast line wakes the thread about once a millisecond rather than once every few bytes.
constexpr size_t kToTerminalBatch = 256;
constexpr auto kToTerminalDelay = std::chrono::milliseconds(1);
// How often a closed terminal is asked whether it was opened, where inotify is not available.
constexpr int kPresenceRetryMs = 20;

// Whether the master reports the slave side closed (no program has the terminal open).
bool SlaveClosed(int master) {
  pollfd p{master, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

class PtyLine final : public ExternalLine {
 public:
  ~PtyLine() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    Poke();
    if (thread_.joinable()) thread_.join();
    // Closing the master removes the terminal; our own slave descriptor goes first.
    for (int fd : {inotify_, pokeRead_, pokeWrite_, master_})
      if (fd >= 0) close(fd);
  }

  bool Open(std::string* path, std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      return Fail("opening a pseudo-terminal", error);
    }
    // Raw settings from the start; they stay with the terminal after this descriptor is closed.
    // None is kept open here: the master must read as hung up while no program has the terminal.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) {
      if (slave >= 0) close(slave);
      return Fail(name, error);
    }
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    const bool rawSet = tcsetattr(slave, TCSANOW, &raw) == 0;
    close(slave);
    if (!rawSet) return Fail("raw mode", error);
    // Opens of the slave's node; null where inotify is not available (the thread then asks).
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 && inotify_add_watch(inotify_, name, IN_OPEN) < 0) {
      close(inotify_);
      inotify_ = -1;
    }
    int poke[2];
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0 ||
        pipe2(poke, O_NONBLOCK | O_CLOEXEC) != 0) {
      return Fail("non-blocking descriptors", error);
    }
    pokeRead_ = poke[0];
    pokeWrite_ = poke[1];
    *path = name;
    thread_ = std::thread([this] { Run(); });
    pthread_setname_np(thread_.native_handle(), "tv-pty");
    return true;
  }

  void SetWake(std::function<void()> wake) override {
    std::lock_guard<std::mutex> lock(mu_);
    wake_ = std::move(wake);
  }

  bool Present() const override { return present_.load(std::memory_order_acquire); }

  void Put(uint8_t byte) override {
    bool poke;
    {
      std::lock_guard<std::mutex> lock(mu_);
      toTerminal_.push_back(byte);
      // The first byte makes the thread start its delay; a full batch ends it.
      poke = toTerminal_.size() == 1 || toTerminal_.size() == kToTerminalBatch;
    }
    if (poke) Poke();
  }

  bool Full() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return toTerminal_.size() >= kToTerminalLimit;
  }

  bool Get(uint8_t* byte) override {
    bool resume;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (fromTerminal_.empty()) return false;
      *byte = fromTerminal_.front();
      fromTerminal_.pop_front();
      // The thread stopped reading at the limit; it goes on once there is room for a read.
      resume = fromTerminal_.size() == kFromTerminalLimit - kFromTerminalRoom;
    }
    if (resume) Poke();
    return true;
  }

  void Accepting(bool on) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (accepting_ == on) return;
      accepting_ = on;
    }
    if (on) Poke();
  }

 private:
  bool Fail(const std::string& what, std::string* error) {
    *error = what + ": " + std::strerror(errno);
    return false;
  }

  // Wakes the thread from its poll; a full pipe already wakes it.
  void Poke() {
    const char b = 1;
    [[maybe_unused]] ssize_t n = write(pokeWrite_, &b, 1);
  }

  void Run() {
    sched::EnterSimulationThread();
    uint8_t buffer[4096];
    // Whether bytes for the terminal are queued, and when the oldest was first seen queued (a flag
    // and a plain time point: GCC 12 cannot follow an optional's engaged flag through the loop on
    // 32-bit targets and warns that the time point may be used uninitialised).
    bool queued = false;
    std::chrono::steady_clock::time_point queuedSince{};
    // While the terminal is closed: the master still has bytes its program wrote before closing.
    bool leftover = true;
    bool wake = SetPresent(!SlaveClosed(master_));
    for (;;) {
      if (wake) {
        std::function<void()> w;
        {
          std::lock_guard<std::mutex> lock(mu_);
          w = wake_;
        }
        if (w) w();  // without mu_: the model calls in here holding its own lock
      }
      wake = false;
      const bool present = Present();
      short events = 0;
      int timeoutMs = -1;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
        if (accepting_ && fromTerminal_.size() <= kFromTerminalLimit - kFromTerminalRoom &&
            (present || leftover))
          events |= POLLIN;
        const auto now = std::chrono::steady_clock::now();
        if (toTerminal_.empty()) {
          queued = false;
        } else if (!queued) {
          queued = true;
          queuedSince = now;
        }
        // Bytes for a closed terminal wait for it to be opened again.
        if (!present) {
          queued = false;
        } else if (queued && (toTerminal_.size() >= kToTerminalBatch ||
                              now - queuedSince >= kToTerminalDelay)) {
          events |= POLLOUT;
        } else if (queued) {
          timeoutMs = 1;
        }
      }
      if (!present && inotify_ < 0 && (timeoutMs < 0 || timeoutMs > kPresenceRetryMs))
        timeoutMs = kPresenceRetryMs;
      // A closed terminal's master is polled only for what is left to read: it reports POLLHUP
      // at once, every time.
      const bool pollMaster = present || (events & POLLIN);
      pollfd fds[3] = {{pokeRead_, POLLIN, 0},
                       {pollMaster ? master_ : -1, events, 0},
                       {present ? -1 : inotify_, POLLIN, 0}};
      if (poll(fds, 3, timeoutMs) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents & POLLIN) {
        while (read(pokeRead_, buffer, sizeof buffer) > 0) {
        }
      }
      if (fds[1].revents & POLLOUT) {
        wake |= WriteToTerminal();
        queued = false;  // what is left (or comes next) starts its own delay
      }
      if (fds[1].revents & POLLIN) {
        if (ReadFromTerminal(buffer, sizeof buffer)) {
          wake = true;
        } else if (!present) {
          leftover = false;  // closed, and the read found nothing more
        }
      } else if (!present && (fds[1].revents & POLLHUP)) {
        leftover = false;  // hung up with nothing to read: drained
      }
      if (present && (fds[1].revents & POLLHUP)) {
        wake |= SetPresent(false);
        leftover = true;
      }
      if (!present && (fds[2].revents & POLLIN || inotify_ < 0)) {
        // Only the wake matters; the events themselves say nothing about the last close.
        while (inotify_ >= 0 && read(inotify_, buffer, sizeof buffer) > 0) {
        }
        leftover = true;  // a program that opened and closed again may have written meanwhile
        if (!SlaveClosed(master_)) wake |= SetPresent(true);
      }
    }
  }

  // Records whether a program has the terminal open; true when that changed.
  bool SetPresent(bool present) {
    return present_.exchange(present, std::memory_order_acq_rel) != present;
  }

  // Writes what is queued for the terminal; true when the queue was full and no longer is.
  bool WriteToTerminal() {
    uint8_t chunk[4096];
    size_t n;
    {
      std::lock_guard<std::mutex> lock(mu_);
      n = std::min(toTerminal_.size(), sizeof chunk);
      std::copy_n(toTerminal_.begin(), n, chunk);
    }
    ssize_t written = write(master_, chunk, n);
    if (written <= 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    const bool wasFull = toTerminal_.size() >= kToTerminalLimit;
    toTerminal_.erase(toTerminal_.begin(), toTerminal_.begin() + written);
    return wasFull && toTerminal_.size() < kToTerminalLimit;
  }

  // Reads what the terminal's programs wrote, up to the limit; true when bytes arrived.
  bool ReadFromTerminal(uint8_t* buffer, size_t size) {
    size_t room;
    {
      std::lock_guard<std::mutex> lock(mu_);
      room = kFromTerminalLimit - std::min(fromTerminal_.size(), kFromTerminalLimit);
    }
    ssize_t n = read(master_, buffer, std::min(room, size));
    if (n <= 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    fromTerminal_.insert(fromTerminal_.end(), buffer, buffer + n);
    return true;
  }

  int master_ = -1, inotify_ = -1, pokeRead_ = -1, pokeWrite_ = -1;
  std::thread thread_;
  // Whether a program has the terminal open: the far end's RTS and DTR. Written by the thread.
  std::atomic<bool> present_{false};
  // mu_ guards everything below; the thread never holds it while calling wake_.
  mutable std::mutex mu_;
  std::deque<uint8_t> toTerminal_;    // bytes the bridge sent, for the terminal
  std::deque<uint8_t> fromTerminal_;  // bytes the terminal's programs wrote, for the bridge
  bool accepting_ = false;
  bool stop_ = false;
  std::function<void()> wake_;
};

}  // namespace

std::shared_ptr<ExternalLine> OpenPtyLine(std::string* path, std::string* error) {
  auto line = std::make_shared<PtyLine>();
  if (!line->Open(path, error)) return nullptr;
  return line;
}

}  // namespace sim
