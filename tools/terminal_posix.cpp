// POSIX terminal handling for tvk.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/host.h"

namespace tvk::host {

static_assert(sizeof(termios) <= 128, "RawTerminal::saved_ too small for termios");

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}
bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

RawTerminal::RawTerminal() {
  if (!StdinIsTerminal()) return;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  std::memcpy(saved_, &saved, sizeof saved);
  termios raw = saved;
  // Input and output both raw (cfmakeraw clears OPOST too): what the port sends reaches the
  // screen, and any program behind it, byte for byte; tvk's own lines end in "\r\n".
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) active_ = true;
}

RawTerminal::~RawTerminal() {
  if (!active_) return;
  termios saved{};
  std::memcpy(&saved, saved_, sizeof saved);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

int ReadStdin(void* buffer, std::size_t size, int timeoutMs) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  ssize_t n = read(STDIN_FILENO, buffer, size);
  if (n < 0) return errno == EINTR || errno == EAGAIN ? 0 : -1;
  if (n == 0) return -1;
  return static_cast<int>(n);
}

void WriteStdout(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace tvk::host
