// The far end of a line on a Linux pseudo-terminal. One thread moves bytes between the terminal's
// master side and two bounded queues; the bridge model takes from and adds to the queues under its
// own lock, so nothing it calls blocks.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "sim/bridge_model/pty_line.h"

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
    for (int fd : {slave_, pokeRead_, pokeWrite_, master_})
      if (fd >= 0) close(fd);
  }

  bool Open(std::string* path, std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      return Fail("opening a pseudo-terminal", error);
    }
    // The slave stays open here, so the master never reads as hung up while no program has the
    // terminal open, and the raw settings hold from the start.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) return Fail(name, error);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(slave_, TCSANOW, &raw) != 0) return Fail("raw mode", error);
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
    uint8_t buffer[4096];
    // Whether bytes for the terminal are queued, and when the oldest was first seen queued (a flag
    // and a plain time point: GCC 12 cannot follow an optional's engaged flag through the loop on
    // 32-bit targets and warns that the time point may be used uninitialised).
    bool queued = false;
    std::chrono::steady_clock::time_point queuedSince{};
    for (;;) {
      short events = 0;
      int timeoutMs = -1;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
        if (accepting_ && fromTerminal_.size() <= kFromTerminalLimit - kFromTerminalRoom)
          events |= POLLIN;
        const auto now = std::chrono::steady_clock::now();
        if (toTerminal_.empty()) {
          queued = false;
        } else if (!queued) {
          queued = true;
          queuedSince = now;
        }
        if (queued &&
            (toTerminal_.size() >= kToTerminalBatch || now - queuedSince >= kToTerminalDelay)) {
          events |= POLLOUT;
        } else if (queued) {
          timeoutMs = 1;
        }
      }
      pollfd fds[2] = {{pokeRead_, POLLIN, 0}, {master_, events, 0}};
      if (poll(fds, 2, timeoutMs) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents & POLLIN) {
        while (read(pokeRead_, buffer, sizeof buffer) > 0) {
        }
      }
      bool wake = false;
      if (fds[1].revents & POLLOUT) {
        wake |= WriteToTerminal();
        queued = false;  // what is left (or comes next) starts its own delay
      }
      if (fds[1].revents & POLLIN) wake |= ReadFromTerminal(buffer, sizeof buffer);
      if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & (POLLIN | POLLOUT))) {
        // Not expected while the slave is held open; do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (wake) {
        std::function<void()> w;
        {
          std::lock_guard<std::mutex> lock(mu_);
          w = wake_;
        }
        if (w) w();  // without mu_: the model calls in here holding its own lock
      }
    }
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

  int master_ = -1, slave_ = -1, pokeRead_ = -1, pokeWrite_ = -1;
  std::thread thread_;
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
